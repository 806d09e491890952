"""Sensor callbacks: exceptions, and the NumPy views over payloads."""

import struct

import numpy as np
import pytest

import vantrel

from conftest import sensor_data


class CallbackFailed(Exception):
    pass


def camera_output(sensor_id, width, height, pixels):
    output = vantrel.SensorOutput()
    output.outputSensorID = sensor_id
    output.rgbCameraOutput.width = width
    output.rgbCameraOutput.height = height
    output.rgbCameraOutput.pixels = pixels
    return output


def test_an_exception_in_a_callback_reaches_dispatch_and_the_entry_comes_again(make_running_sim):
    calls = []

    def camera(envelope, output, typed):
        calls.append((envelope.frameNumber, output.outputSensorID))
        if len(calls) == 2:
            raise CallbackFailed("second output")

    frame = sensor_data(8, camera_output(1, 1, 1, b"\x01"), camera_output(2, 1, 1, b"\x02"))
    sim = make_running_sim([frame], [(vantrel.RGBCameraOutput, 1, camera), (vantrel.RGBCameraOutput, 2, camera)])
    sim.advance_frames(5.0)
    with pytest.raises(CallbackFailed):
        sim.dispatch_messages()
    assert calls == [(8, 1), (8, 2)]
    sim.dispatch_messages()
    assert calls == [(8, 1), (8, 2), (8, 1), (8, 2)]
    sim.dispatch_messages()
    assert len(calls) == 4


def test_an_exception_in_a_loading_state_callback_reaches_is_loading_scene(engine):
    engine.send(vantrel.EngineToClientMessage(loadingState=vantrel.LoadingStateReport(state=vantrel.LoadingStateReport.Terrain)))

    class Failing(vantrel.LoadingState):
        def on_loading_state_changed(self, state):
            raise CallbackFailed(state)

    sim = vantrel.Sim()
    sim.register_loading_state_callback(Failing())
    sim.connect_to_engine(engine.connection_string())
    with pytest.raises(CallbackFailed):
        sim.is_loading_scene()


class ArrayKeeper(vantrel.Sensor):
    def __init__(self):
        self.seen = []

    def on_sensor_output(self, envelope, output, typed):
        array = self.array
        base = array.base
        self.seen.append(dict(
            kind=type(typed).__name__, shape=array.shape, dtype=array.dtype,
            values=array.copy(), base_is_payload=isinstance(base, vantrel.Payload),
            aliases=array.ctypes.data == base.address and array.nbytes == base.size,
            owndata=array.flags.owndata, writeable=array.flags.writeable,
            typed_bytes=bytes(getattr(typed, "pixels", b"") or getattr(typed, "points", b""))))


def output_of(kind_field, sensor_id, **fields):
    output = vantrel.SensorOutput()
    output.outputSensorID = sensor_id
    getattr(output, kind_field).SetInParent()
    for name, value in fields.items():
        setattr(getattr(output, kind_field), name, value)
    return output


RGBA = bytes(range(3 * 2 * 4))
DEPTH_FLOAT = struct.pack("<6f", *[0.5 * i for i in range(6)])
DEPTH_UINT16 = struct.pack("<6H", *range(100, 106))
POINTS = struct.pack("<6f", 1, 2, 3, 4, 5, 6)

ARRAY_CASES = [
    ("rgbCameraOutput", vantrel.RGBCameraOutput, dict(width=3, height=2, pixels=RGBA),
     (2, 3, 4), np.uint8, np.frombuffer(RGBA, np.uint8).reshape(2, 3, 4)),
    ("semanticClassLabelingOutput", vantrel.SemanticClassLabelingOutput,
     dict(width=3, height=2, pixels=bytes(range(6))), (2, 3, 1), np.uint8,
     np.arange(6, dtype=np.uint8).reshape(2, 3, 1)),
    ("semanticInstanceLabelingOutput", vantrel.SemanticInstanceLabelingOutput,
     dict(width=1, height=2, pixels=RGBA[:8]), (2, 1, 4), np.uint8,
     np.frombuffer(RGBA[:8], np.uint8).reshape(2, 1, 4)),
    ("depthCameraOutput", vantrel.DepthCameraOutput, dict(width=3, height=2, pixels=DEPTH_FLOAT),
     (2, 3, 1), np.float32, np.arange(6, dtype=np.float32).reshape(2, 3, 1) * 0.5),
    ("depthCameraOutput", vantrel.DepthCameraOutput, dict(width=2, height=3, pixels=DEPTH_UINT16),
     (3, 2, 1), np.uint16, np.arange(100, 106, dtype=np.uint16).reshape(3, 2, 1)),
    ("lidarOutput", vantrel.LidarOutput, dict(points=POINTS), (2, 3), np.float32,
     np.array([[1, 2, 3], [4, 5, 6]], np.float32)),
    # A payload that does not fit its dimensions comes as flat bytes.
    ("rgbCameraOutput", vantrel.RGBCameraOutput, dict(width=3, height=2, pixels=RGBA[:7]),
     (7,), np.uint8, np.frombuffer(RGBA[:7], np.uint8)),
]


@pytest.mark.parametrize("field, kind, fields, shape, dtype, expected", ARRAY_CASES)
def test_payload_arrays_alias_the_library_bytes(make_running_sim, field, kind, fields, shape, dtype, expected):
    keeper = ArrayKeeper()
    sim = make_running_sim([sensor_data(1, output_of(field, 4, **fields))], [(kind, 4, keeper)])
    sim.advance_frames(5.0)
    sim.dispatch_messages()
    (seen,) = keeper.seen
    assert (seen["kind"], seen["shape"], seen["dtype"]) == (kind.DESCRIPTOR.name, shape, np.dtype(dtype))
    np.testing.assert_array_equal(seen["values"], expected)
    assert seen["values"].tobytes() == seen["typed_bytes"]
    assert seen["base_is_payload"] and seen["aliases"]
    assert not seen["owndata"] and not seen["writeable"]
    assert keeper.array is None


def test_a_callable_can_take_the_array_and_is_warned_when_it_keeps_it(make_running_sim):
    kept = []

    @vantrel.with_array
    def lidar(envelope, output, typed, array):
        kept.append(array)

    sim = make_running_sim([sensor_data(1, output_of("lidarOutput", 4, points=POINTS))],
                           [(vantrel.LidarOutput, 4, lidar)])
    sim.advance_frames(5.0)
    with pytest.warns(RuntimeWarning, match="copy"):
        sim.dispatch_messages()
    assert kept[0].shape == (2, 3)


def test_kinds_without_payload_have_no_array(make_running_sim):
    seen = []

    class Gps(vantrel.Sensor):
        def on_sensor_output(self, envelope, output, typed):
            seen.append(self.array)

    sim = make_running_sim([sensor_data(1, output_of("gpsOutput", 4, lat=2.0))], [(vantrel.GPSOutput, 4, Gps())])
    sim.advance_frames(5.0)
    sim.dispatch_messages()
    assert seen == [None]


def test_outputs_of_one_entry_share_its_envelope_and_entries_do_not(engine, make_running_sim):
    # Two entries with the same stamp arrive in one read; the object registered for the first output
    # is called for the newer entry only, the one for the second output for the older entry only.
    seen = []

    def sensor(envelope, output, typed):
        seen.append((envelope, output.outputSensorID, typed.param, [o.outputSensorID for o in envelope.registerReport.sensorsOutput]))

    def e2c(sensor_id, value):
        output = vantrel.SensorOutput(outputSensorID=sensor_id)
        output.msgToClientOutput.param = value
        return output

    newer = sensor_data(3, e2c(1, "newer"), e2c(9, "newer"), e2c(2, "newer"))
    older = sensor_data(3, e2c(9, "older"), e2c(2, "older"), e2c(3, "older"))
    sim = make_running_sim([], [(vantrel.E2COutput, sensor_id, sensor) for sensor_id in (1, 2, 3)])
    engine.send_together([older, newer])
    sim.advance_frames(5.0)
    sim.dispatch_messages()
    assert [(s[1], s[2], s[3]) for s in seen] == [
        (1, "newer", [1, 9, 2]), (2, "newer", [1, 9, 2]), (2, "older", [9, 2, 3]), (3, "older", [9, 2, 3])]
    assert seen[0][0] is seen[1][0] and seen[2][0] is seen[3][0]
