import pytest

import vantrel
from vantrel import testing


@pytest.fixture
def engine():
    test_engine = testing.TestEngine()
    yield test_engine
    del test_engine


@pytest.fixture
def sim(engine):
    proxy = vantrel.Sim()
    proxy.connect_to_engine(engine.connection_string())
    yield proxy
    proxy.disconnect_from_engine()


def next_frame_requested(message):
    return (message.WhichOneof("Msg") == "command"
            and message.command.WhichOneof("CommandType") == "simulationCommand"
            and message.command.simulationCommand.HasField("nextFrame"))


def sensor_data(frame_number, *outputs):
    """An engine message carrying `outputs` (SensorOutput messages) for frame `frame_number`."""
    message = vantrel.EngineToClientMessage()
    message.frameNumber = frame_number
    message.simulationTimeInSec = frame_number * 0.5
    for output in outputs:
        message.registerReport.sensorsOutput.add().CopyFrom(output)
    return message


def engine_answering(engine, frames):
    """Acknowledges every command with 0 and answers the n-th NextFrame with frames[n]."""
    pending = list(frames)

    def respond(message):
        if testing.expects_acknowledgement(message):
            return [testing.acknowledgement(0)]
        if next_frame_requested(message) and pending:
            return [pending.pop(0)]
        return []

    engine.respond_with(respond)


@pytest.fixture
def make_running_sim(engine):
    return lambda frames, sensors: running_sim(engine, frames, sensors)


def running_sim(engine, frames, sensors):
    """A connected proxy, its scene loaded, `sensors` registered ((kind, sensor_id, object)) and the
    simulation started; the engine answers NextFrame with `frames` in turn."""
    engine.send(testing.loading_state(vantrel.LoadingStateReport.Done))
    engine_answering(engine, frames)
    proxy = vantrel.Sim()
    proxy.connect_to_engine(engine.connection_string())
    while proxy.is_loading_scene():
        pass
    for kind, sensor_id, target in sensors:
        proxy.register_sensor(kind, 0, sensor_id, target)
    proxy.start(vantrel.Blocking)
    return proxy
