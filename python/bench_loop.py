#!/usr/bin/env python3
"""The 8 MiB frame loop driven from Python, as a ratio of the same loop in C++.

An engine process (this script with --serve) answers every NextFrame with one encoded-in-advance
frame holding one 2048 x 1024 RGBA camera image (8 MiB). The same engine serves, in turn, the C++
loop (vantrel._testing.cxx_frame_loop) and the Python loop (vantrel.Sim with a vantrel.Sensor that
reads the payload through its NumPy view); each registers the camera, starts and then advances and
dispatches --frames times. Prints one line per side and the ratio Python / C++ (1.0 = as fast).

    PYTHONPATH=<build>/python /usr/bin/python3 python/bench_loop.py [--frames N] [--rounds N]
"""

import argparse
import os
import socket
import struct
import subprocess
import sys
import time

# This directory holds the package's sources, not the built package: import vantrel from PYTHONPATH.
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:] = [entry for entry in sys.path if os.path.abspath(entry or os.curdir) != HERE]

WIDTH, HEIGHT = 2048, 1024
CAMERA_ID = 1


def wire_frame(message):
    payload = message.SerializeToString()
    return struct.pack("<q", len(payload)) + payload


def serve():
    import vantrel

    camera = vantrel.EngineToClientMessage(frameNumber=1)
    output = camera.registerReport.sensorsOutput.add(outputSensorID=CAMERA_ID)
    output.rgbCameraOutput.width, output.rgbCameraOutput.height = WIDTH, HEIGHT
    output.rgbCameraOutput.pixels = bytes(range(256)) * (WIDTH * HEIGHT * 4 // 256)
    camera_frame = wire_frame(camera)
    ack_frame = wire_frame(vantrel.EngineToClientMessage(errorMessage=vantrel.ErrorMessage(errorCode=0)))

    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    print("listening on 127.0.0.1:%d" % listener.getsockname()[1], flush=True)
    while True:
        client, _ = listener.accept()
        client.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        pending = b""
        while True:
            data = client.recv(65536)
            if not data:
                break
            pending += data
            while len(pending) >= 8:
                (length,) = struct.unpack("<q", pending[:8])
                if len(pending) < 8 + length:
                    break
                message = vantrel.ClientToEngineMessage.FromString(pending[8:8 + length])
                pending = pending[8 + length:]
                command = message.command
                if command.HasField("sensorCommand") or command.simulationCommand.HasField("startSimulation"):
                    client.sendall(ack_frame)
                elif command.simulationCommand.HasField("nextFrame"):
                    client.sendall(camera_frame)
        client.close()


def python_loop(connection, frames):
    import vantrel

    class Camera(vantrel.Sensor):
        checksum = 0

        def on_sensor_output(self, envelope, output, typed):
            self.checksum += int(self.array[0, 0, 0])

    sim = vantrel.Sim()
    camera = Camera()
    sim.connect_to_engine(connection)
    sim.register_sensor(vantrel.RGBCameraOutput, 0, CAMERA_ID, camera)
    sim.start(vantrel.Blocking)
    begin = time.perf_counter()
    for _ in range(frames):
        sim.advance_frames(10.0)
        sim.dispatch_messages()
    elapsed = time.perf_counter() - begin
    sim.disconnect_from_engine()
    return elapsed


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--serve", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--frames", type=int, default=50)
    parser.add_argument("--rounds", type=int, default=3, help="rounds of both loops; the best of each counts")
    arguments = parser.parse_args()
    if arguments.serve:
        serve()
        return

    from vantrel import _testing

    engine = subprocess.Popen([sys.executable, __file__, "--serve"], stdout=subprocess.PIPE, text=True)
    try:
        host, port = engine.stdout.readline().strip()[len("listening on "):].rsplit(":", 1)
        connection = "%s %s" % (host, port)
        cxx, python = [], []
        for _ in range(arguments.rounds):
            cxx.append(_testing.cxx_frame_loop(connection, CAMERA_ID, arguments.frames))
            python.append(python_loop(connection, arguments.frames))
        best_cxx, best_python = min(cxx), min(python)
        per_frame = lambda seconds: 1000.0 * seconds / arguments.frames  # noqa: E731
        print("C++ loop:    %.2f ms per 8 MiB frame" % per_frame(best_cxx))
        print("Python loop: %.2f ms per 8 MiB frame" % per_frame(best_python))
        print("ratio Python / C++: %.2f" % (best_python / best_cxx))
    finally:
        engine.kill()
        engine.wait()


if __name__ == "__main__":
    main()
