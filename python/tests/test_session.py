"""The typical run, driven from Python against the test engine."""

import vantrel
from vantrel import testing

from conftest import sensor_data


def gps_output(sensor_id, lat):
    output = vantrel.SensorOutput()
    output.outputSensorID = sensor_id
    output.gpsOutput.lat = lat
    return output


class RecordingGps(vantrel.Sensor):
    def __init__(self):
        self.seen = []

    def on_sensor_output(self, envelope, output, typed):
        self.seen.append((envelope.frameNumber, output.outputSensorID, typed.lat, type(typed).__name__))


def test_typical_run(engine):
    engine.send(testing.loading_state(vantrel.LoadingStateReport.Sensors))
    engine.await_frames(2).send(testing.loading_state(vantrel.LoadingStateReport.Done))
    cars = vantrel.EngineToClientMessage()
    cars.queryReport.carsQueryReport.carQueryReport.add(name="ego", brand="vantrel")
    cars.queryReport.carsQueryReport.carQueryReport.add(name="other")

    def respond(message):
        if testing.expects_acknowledgement(message):
            return [testing.acknowledgement(0)]
        if message.WhichOneof("Msg") == "query" and message.query.HasField("carsQuery"):
            return [cars]
        if message.command.simulationCommand.HasField("nextFrame"):
            return [sensor_data(41, gps_output(5, 1.5), gps_output(6, 9.0))]
        return []

    engine.respond_with(respond)
    states = []
    sim = vantrel.Sim()
    sim.register_loading_state_callback(states.append)
    sim.connect_to_engine(engine.connection_string())

    assert sim.is_loading_scene()
    version = vantrel.VersionCommand()
    version.sdkVersion = sim.get_sdk_version()
    sim.set_version_command(version)
    sim.log(1, "loading")
    assert not sim.is_loading_scene()
    assert states == [vantrel.LoadingStateReport.Sensors, vantrel.LoadingStateReport.Done]

    assert [car.name for car in sim.get_cars_info()] == ["ego", "other"]
    assert all(isinstance(car, vantrel.CarQueryReport) for car in sim.get_cars_info())
    gps = RecordingGps()
    seen_by_callable = []
    sim.register_sensor(vantrel.GPSOutput, 3, 5, gps)
    sim.register_sensor("GPSOutput", 3, 6, lambda envelope, output, typed: seen_by_callable.append(typed.lat))
    sim.start(vantrel.Blocking)
    assert sim.is_running()

    sim.advance_frames(5.0)
    assert sim.get_curr_frame() == 41
    assert sim.get_curr_simulation_time() == 20.5
    sim.dispatch_messages()
    assert gps.seen == [(41, 5, 1.5, "GPSOutput")]
    assert seen_by_callable == [9.0]

    sim.send_car_control_gas_cmd(7, 0.5)
    sim.stop(0, "done")
    assert not sim.is_running()
    sim.disconnect_from_engine()

    # version, log, two car queries, two registrations, start, next frame, gas, stop
    assert engine.wait_for_frames(10)
    frames = engine.frames()
    assert frames[0].message.command.versionCommand.sdkVersion == "1.3.51"
    assert frames[1].message.command.logCommand.msg == "loading"
    gas = [f for f in frames if f.message.command.HasField("carCommand")]
    assert [testing.frame_header(15) + bytes.fromhex("5a0d520b08076a070a050d0000003f")] == [f.raw for f in gas]
    assert frames[-1].message.command.simulationCommand.stopSimulation.reasonText == "done"


def test_messages_built_by_the_user_must_be_the_generated_classes(sim):
    try:
        sim.set_configuration(vantrel.VersionCommand())
    except TypeError as error:
        assert "ConfigurationCommand" in str(error)
    else:
        raise AssertionError("a VersionCommand was taken as a configuration")


def test_a_car_command_built_in_python_reaches_the_wire(engine, make_running_sim):
    sim = make_running_sim([], [])
    command = vantrel.CarCommand()
    command.id = 3
    command.aiDriving.SetInParent()
    sim.car_control_cmd(command)
    sim.send_ai_drive_car_cmd(3)
    assert engine.wait_for_frames(3)
    sent = [f.payload for f in engine.frames()[-2:]]
    assert sent == [bytes.fromhex("5a06520408036200")] * 2


def test_the_global_sensor_is_registered_by_its_sensor_id_alone(engine, make_running_sim):
    seen = []
    objects = vantrel.SensorOutput(outputSensorID=200)
    objects.dynamicObjectGroundTruthOutput.objects.add()
    sim = make_running_sim([sensor_data(2, objects)], [])
    sim.register_sensor(vantrel.DynamicObjectGroundTruthOutput, 200,
                        lambda envelope, output, typed: seen.append(len(typed.objects)))
    sim.advance_frames(5.0)
    sim.dispatch_messages()
    assert seen == [1]
    registrations = [f.payload for f in engine.frames() if f.message.command.HasField("globalSensorCommand")]
    assert registrations == [bytes.fromhex("5a077a0508c8015200")]
