"""Failure codes as exceptions, and the codes that the library does not count as failures."""

import pytest

import vantrel
from vantrel import testing


def test_a_refused_registration_raises_with_the_engine_code(engine, sim):
    engine.acknowledge_commands(vantrel.VANTREL_ERR_REGISTER_SENSOR_FAILED)
    with pytest.raises(vantrel.VantrelError) as raised:
        sim.register_sensor(vantrel.GPSOutput, 0, 5, lambda *outputs: None)
    assert raised.value.code == -5002
    assert raised.value.name == "VANTREL_ERR_REGISTER_SENSOR_FAILED"
    assert raised.value.operation == "register_sensor"
    assert sim.last_error() == -5002


def test_an_engine_code_outside_the_enumeration_keeps_its_value(engine, sim):
    engine.acknowledge_commands(-77)
    with pytest.raises(vantrel.VantrelError) as raised:
        sim.start(vantrel.NonBlocking)
    assert (raised.value.code, raised.value.name, raised.value.operation) == (-77, None, "start")
    assert not sim.is_running()


@pytest.mark.parametrize("operation, call, code", [
    ("advance_frames", lambda sim: sim.advance_frames(1.0), vantrel.VANTREL_ERR_UNEXPECTED),
    ("ge_studio_version", lambda sim: sim.ge_studio_version(), vantrel.VANTREL_ERR_NOT_IMPLEMENTED),
    ("get_terrain", lambda sim: sim.get_terrain(), vantrel.VANTREL_ERR_CONNECTION_FAILED),
])
def test_library_failures_on_an_unconnected_proxy(operation, call, code):
    with pytest.raises(vantrel.VantrelError) as raised:
        call(vantrel.Sim())
    assert (raised.value.code, raised.value.operation) == (code, operation)


def test_car_commands_while_not_running_return_normally_and_send_nothing(engine, sim, capfd):
    command = vantrel.CarCommand()
    command.drive.acceleration = 0.5
    sim.car_control_cmd(command)
    sim.send_car_control_gas_cmd(1, 0.5)
    sim.inner_send_car_command(vantrel.CarCommand())
    assert capfd.readouterr().err == "Simulation not running\n" * 3
    assert engine.frame_count() == 0


def test_an_acceleration_refused_by_car_control_cmd_raises(make_running_sim):
    sim = make_running_sim([], [])
    command = vantrel.CarCommand()
    command.drive.acceleration = 0.5
    with pytest.raises(vantrel.VantrelError) as raised:
        sim.car_control_cmd(command)
    assert raised.value.code == vantrel.VANTREL_ERR_NOT_IMPLEMENTED


def test_a_sensor_change_while_running_is_refused(make_running_sim):
    sim = make_running_sim([], [])
    with pytest.raises(vantrel.VantrelError) as raised:
        sim.set_sensor_param(0, 5, vantrel.RGBCameraModifiable(record=True, fps=10))
    assert raised.value.code == vantrel.VANTREL_ERR_UNEXPECTED


def test_sensor_parameters_reach_the_wire(engine, sim):
    engine.acknowledge_commands(0)
    sim.set_sensor_param(9, 5, vantrel.RGBCameraModifiable(record=True, fps=10))
    sim.set_sensor_param(200, vantrel.DOGTModifiable(record=True, fps=10))
    payloads = [f.payload for f in engine.frames()]
    assert payloads == [bytes.fromhex("5a0c620a10055a0652040801100a"),
                        bytes.fromhex("5a0e7a0c08c8015a07c202040801100a")]


def test_a_kind_needs_its_own_way_of_registering(sim):
    with pytest.raises(TypeError):
        sim.register_sensor(vantrel.DynamicObjectGroundTruthOutput, 0, 200, lambda *a: None)
    with pytest.raises(ValueError):
        sim.register_sensor(vantrel.WakeupOutput, 0, 1, lambda *a: None)
