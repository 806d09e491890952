#!/usr/bin/env python3
"""Drives the sandbox engine from Python: loads the scene, asks about it, registers every sensor of
the ego car, then keeps the car in its lane for a number of frames.

    demo.py --sandbox build/sandbox/vantrel-sandbox-engine   # starts its own sandbox on a free port
    demo.py --engine "127.0.0.1 8052"                        # an engine that already runs
"""

import argparse
import subprocess
import sys

import vantrel

EGO_CAR = 0

# The query report of a sensor -> the output kind it is registered as.
KIND_OF_REPORT = {
    "rgbCameraReport": vantrel.RGBCameraOutput,
    "lidarReport": vantrel.LidarOutput,
    "radarReport": vantrel.RadarOutput,
    "gpsReport": vantrel.GPSOutput,
    "roiReport": vantrel.ROIOutput,
    "e2cReport": vantrel.E2COutput,
    "laneDetectorReport": vantrel.LaneDetectorOutput,
    "slInstanceReport": vantrel.SemanticInstanceLabelingOutput,
    "slClassReport": vantrel.SemanticClassLabelingOutput,
    "carTelemetriesReport": vantrel.CarTelemetriesOutput,
    "depthCameraReport": vantrel.DepthCameraOutput,
}


class PrintLoading(vantrel.LoadingState):
    def on_loading_state_changed(self, state):
        print("loading:", vantrel.LoadingStateReport.stateType.Name(state))


class Ego(vantrel.Sensor):
    """What the last frame told about the ego car; the arrays are summarised while they are valid."""

    def __init__(self):
        self.lane_offset = 0.0
        self.speed = 0.0
        self.notes = {}

    def on_sensor_output(self, envelope, output, typed):
        kind = type(typed).__name__
        if kind == "GPSOutput":
            self.lane_offset, self.speed = typed.LaneOffset, typed.speed
            self.notes[kind] = "speed %.1f m/s, lane offset %+.2f m" % (typed.speed, typed.LaneOffset)
        elif self.array is not None:
            self.notes[kind] = "%s %s, mean %.2f" % (self.array.dtype, "x".join(map(str, self.array.shape)),
                                                    float(self.array.mean()) if self.array.size else 0.0)
        else:
            self.notes[kind] = "frame %d" % output.outputFrameNum


def start_sandbox(program):
    engine = subprocess.Popen([program, "--port", "0"], stdout=subprocess.PIPE, text=True)
    first = engine.stdout.readline().strip()
    if not first.startswith("listening on "):
        engine.kill()
        sys.exit("the sandbox did not start: %r" % first)
    host, port = first[len("listening on "):].rsplit(":", 1)
    return engine, "%s %s" % (host, port)


def drive(connection, frames):
    sim = vantrel.Sim()
    sim.register_loading_state_callback(PrintLoading())
    sim.connect_to_engine(connection)
    version = vantrel.VersionCommand(sdkVersion=sim.get_sdk_version(), oemVersion="python demo")
    sim.set_version_command(version)
    while sim.is_loading_scene():
        pass

    print("engine", sim.get_engine_version(), "on", sim.get_terrain())
    for car in sim.get_cars_info():
        print("car", car.name, car.brand, "road", car.locationParams.roadID, "lane", car.locationParams.laneID)
    ego = Ego()
    for sensor in sim.get_sensors_info():
        kind = KIND_OF_REPORT.get(sensor.WhichOneof("QueryType"))
        if kind is not None:
            sim.register_sensor(kind, EGO_CAR, sensor.sensorID, ego)
            print("registered", sensor.name, "as", kind.DESCRIPTOR.name, "id", sensor.sensorID)

    sim.start(vantrel.Blocking)
    for _ in range(frames):
        try:
            sim.advance_frames(5.0)
        except vantrel.VantrelError as error:
            if not sim.is_running():
                print("the engine ended the simulation")
                break
            raise
        sim.dispatch_messages()
        # Keep to the lane centre at about 8 m/s.
        sim.send_car_control_steering_cmd(EGO_CAR, max(-1.0, min(1.0, -0.4 * ego.lane_offset)))
        sim.send_car_control_gas_cmd(EGO_CAR, 0.4 if ego.speed < 8.0 else 0.0)
        frame = sim.get_curr_frame()
        if frame % 10 == 0:
            print("frame %d, t=%.2f s: %s" % (frame, sim.get_curr_simulation_time(), "; ".join(
                "%s %s" % item for item in sorted(ego.notes.items()))))
    sim.stop(0, "demo finished")
    sim.disconnect_from_engine()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    where = parser.add_mutually_exclusive_group(required=True)
    where.add_argument("--sandbox", help="the sandbox engine program to start")
    where.add_argument("--engine", help='"host port" of a running engine')
    parser.add_argument("--frames", type=int, default=50)
    arguments = parser.parse_args()

    engine = None
    connection = arguments.engine
    if arguments.sandbox:
        engine, connection = start_sandbox(arguments.sandbox)
    try:
        drive(connection, arguments.frames)
    finally:
        if engine is not None:
            engine.terminate()
            engine.wait()


if __name__ == "__main__":
    main()
