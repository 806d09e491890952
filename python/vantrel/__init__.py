"""Drive a Vantrel simulation engine from Python.

A thin binding over the C++ library libVantrelSDKShared: ``vantrel.Sim`` wraps one proxy, the
schema's messages are the classes that protoc generates for Python (``vantrel.CarCommand``,
``vantrel.VersionCommand``, ...), and a failure code raises ``vantrel.VantrelError``.
"""

import enum as _enum


class VantrelError(Exception):
    """A failure code of the library: ``code`` (the VantrelErr value, or the engine's own code),
    ``name`` (the VantrelErr name, None for a code outside the enumeration) and ``operation`` (the
    Python name of the operation that failed)."""

    def __init__(self, code, operation):
        self.code = code
        self.operation = operation
        try:
            self.name = VantrelErr.Name(code)
        except ValueError:
            self.name = None
        super().__init__("%s failed with %s (%d)" % (operation, self.name or "engine code", code))


from ._proto.vectors_pb2 import *  # noqa: E402,F401,F403
from ._proto.ErrorCodes_pb2 import *  # noqa: E402,F401,F403
from ._proto.ROIOutput_pb2 import *  # noqa: E402,F401,F403
from ._proto.DrivingCommand_pb2 import *  # noqa: E402,F401,F403
from ._proto.CarConfiguration_pb2 import *  # noqa: E402,F401,F403
from ._proto.Sensors_pb2 import *  # noqa: E402,F401,F403
from ._proto.ClientToEngineMessage_pb2 import *  # noqa: E402,F401,F403
from ._proto.EngineToClientMessage_pb2 import *  # noqa: E402,F401,F403
from ._vantrel import Payload, Sim  # noqa: E402,F401


class RunMethod(_enum.IntEnum):
    """How the engine is asked to run the simulation (``Sim.start``); any non-zero int counts as
    Blocking."""

    NonBlocking = 0
    Blocking = 1


NonBlocking = RunMethod.NonBlocking
Blocking = RunMethod.Blocking


class Sensor:
    """Base class of a sensor object: override ``on_sensor_output``.

    While ``on_sensor_output`` runs, ``self.array`` is a read-only NumPy view of the payload of a
    camera, depth, semantic-labelling or lidar output (None for the other kinds). The view reads the
    library's own buffer and is valid only during the call: keep ``self.array.copy()`` instead.
    """

    array = None

    def on_sensor_output(self, envelope, output, typed):
        """envelope: the EngineToClientMessage that carried the output; output: its SensorOutput;
        typed: the output of this sensor's kind (output.gpsOutput, ...)."""
        raise NotImplementedError


class LoadingState:
    """Base class of a loading-state object: override ``on_loading_state_changed(state)``, state
    being a LoadingStateReport.stateType value (``vantrel.LoadingStateReport.Done``, ...)."""

    def on_loading_state_changed(self, state):
        raise NotImplementedError


def _deliver_sensor_output(target, envelope, output, typed, array):
    # Called by the module for each output; a plain callable gets (envelope, output, typed), and the
    # payload array as a fourth argument when marked with with_array.
    if isinstance(target, Sensor):
        target.array = array
        try:
            target.on_sensor_output(envelope, output, typed)
        finally:
            target.array = None
    elif getattr(target, "_vantrel_array", False):
        target(envelope, output, typed, array)
    else:
        target(envelope, output, typed)


def with_array(callable_):
    """Marks a plain callable sensor to be called with the payload array as a fourth argument."""
    callable_._vantrel_array = True
    return callable_


def _deliver_loading_state(target, state):
    if isinstance(target, LoadingState):
        target.on_loading_state_changed(state)
    else:
        target(state)


__version__ = Sim().get_sdk_version()
