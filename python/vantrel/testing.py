"""The scriptable test engine of the C++ library, for tests in Python.

``TestEngine()`` listens on an ephemeral loopback port and plays its script on a thread of its own;
``engine.connection_string()`` is what ``Sim.connect_to_engine`` takes. Script steps return the engine
for chaining: ``send``, ``send_together``, ``send_raw``, ``pause(ms)``, ``await_frames(n)``,
``close_connection``, ``accept_next``. ``respond_with(fn)`` replies to every client frame with the
list that ``fn(ClientToEngineMessage)`` returns (called on the engine's thread);
``acknowledge_commands(code)`` acknowledges every command that expects it. ``frames()`` lists what
the client sent, each with ``raw``, ``payload``, ``decoded`` and ``message``.
"""

import struct

import vantrel
from vantrel._testing import TestEngine  # noqa: F401


def frame_header(length):
    """The 8-byte little-endian signed length that leads every wire frame."""
    return struct.pack("<q", length)


def frame(message):
    payload = message.SerializeToString()
    return frame_header(len(payload)) + payload


def acknowledgement(error_code=0):
    message = vantrel.EngineToClientMessage()
    message.errorMessage.errorCode = error_code
    return message


def loading_state(state):
    message = vantrel.EngineToClientMessage()
    message.loadingState.state = state
    return message


def end_of_simulation(reason):
    message = vantrel.EngineToClientMessage()
    message.endOfSimulation.reason = reason
    return message


def stamped(message, frame_number, simulation_time):
    copy = vantrel.EngineToClientMessage()
    copy.CopyFrom(message)
    copy.frameNumber = frame_number
    copy.simulationTimeInSec = simulation_time
    return copy


_ACKNOWLEDGED_COMMANDS = ("versionCommand", "configurationCommand", "sensorCommand", "globalSensorCommand")


def expects_acknowledgement(message):
    """True for the commands that the engine answers with an acknowledgement."""
    if message.WhichOneof("Msg") != "command":
        return False
    command = message.command.WhichOneof("CommandType")
    if command == "simulationCommand":
        return message.command.simulationCommand.HasField("startSimulation")
    return command in _ACKNOWLEDGED_COMMANDS
