// Writes the seed corpus of both fuzz targets from messages built with the test engine's helpers:
// the traffic of a short run (loading, replies, acknowledgements, sensor data of every kind, end of
// simulation) plus the framing's hard cases (empty, negative and huge lengths, garbage).
// Usage: fuzz_make_corpus <corpus-dir>   (writes <dir>/receive/* and <dir>/delivery/*)
#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>

#include <cstdint>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "TestEngine.h"

using namespace Vantrel::SDK;
using namespace Vantrel::Testing;

namespace {

// A sensor-data envelope with one output of the oneof member `field` (all kinds, by reflection).
EngineToClientMessage sensorData(const google::protobuf::FieldDescriptor* field, unsigned int id,
                                 uint32_t frameNumber) {
  EngineToClientMessage message = stamped(EngineToClientMessage(), frameNumber, frameNumber / 60.f);
  SensorOutput* output = message.mutable_registerreport()->add_sensorsoutput();
  output->set_outputsensorid(id);
  output->GetReflection()->MutableMessage(output, field);
  return message;
}

std::vector<EngineToClientMessage> everyKind(unsigned int id, uint32_t frameNumber) {
  std::vector<EngineToClientMessage> messages;
  const google::protobuf::OneofDescriptor* kinds =
      SensorOutput::descriptor()->FindOneofByName("SensorType");
  for (int i = 0; i < kinds->field_count(); ++i)
    messages.push_back(sensorData(kinds->field(i), id, frameNumber + i));
  return messages;
}

EngineToClientMessage richFrame(uint32_t frameNumber) {
  EngineToClientMessage message = stamped(EngineToClientMessage(), frameNumber, 0.25f);
  SensorData* data = message.mutable_registerreport();
  SensorOutput* camera = data->add_sensorsoutput();
  camera->set_outputsensorid(1);
  camera->mutable_rgbcameraoutput()->set_width(4);
  camera->mutable_rgbcameraoutput()->set_height(2);
  camera->mutable_rgbcameraoutput()->set_pixels(std::string(24, '\x7f'));
  SensorOutput* gps = data->add_sensorsoutput();
  gps->set_outputsensorid(7);
  gps->mutable_gpsoutput()->set_lat(48.1f);
  SensorOutput* unregistered = data->add_sensorsoutput();
  unregistered->set_outputsensorid(3);
  unregistered->mutable_lidaroutput()->set_points(std::string(12, '\x01'));
  data->add_sensorsoutput()->mutable_wakeupoutput();
  data->add_sensorsoutput();  // no kind set
  return message;
}

EngineToClientMessage carsReply() {
  EngineToClientMessage message;
  CarQueryReport* car =
      message.mutable_queryreport()->mutable_carsqueryreport()->add_carqueryreport();
  car->set_name("ego");
  car->set_brand("test");
  return message;
}

void write(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// Receive target: 4 bytes seeding the cuts, then the stream.
void writeReceive(const std::string& dir, int index, uint32_t seed, const std::string& stream) {
  std::string bytes;
  for (int i = 0; i < 4; ++i) bytes += static_cast<char>(seed >> (8 * i));
  write(dir + "/receive/seed-" + std::to_string(index), bytes + stream);
}

// Delivery target: records of [control][2-byte length][payload].
std::string record(uint8_t control, const std::string& payload) {
  std::string bytes(1, static_cast<char>(control));
  bytes += static_cast<char>(payload.size() & 0xff);
  bytes += static_cast<char>((payload.size() >> 8) & 0xff);
  return bytes + payload;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: fuzz_make_corpus <corpus-dir>" << std::endl;
    return 2;
  }
  const std::string dir = argv[1];

  const std::vector<EngineToClientMessage> kinds = everyKind(1, 100);
  const std::vector<EngineToClientMessage> run = {loadingState(LoadingStateReport::Sensors),
                                                  loadingState(LoadingStateReport::Done),
                                                  carsReply(),
                                                  acknowledgement(0),
                                                  acknowledgement(-3000),
                                                  richFrame(101),
                                                  stamped(acknowledgement(0), 102, 1.5f),
                                                  endOfSimulation("finished")};

  std::vector<std::string> streams = {
      frame(run),
      frame(kinds),
      frame(richFrame(5)) + frame(richFrame(6)),
      frameHeader(0) + frameHeader(0) + frame(acknowledgement(0)),
      frame(acknowledgement(0)) + frameHeader(-1) + frame(acknowledgement(0)),
      frameHeader(INT64_MIN),
      frameHeader(INT64_MAX) + "abc",
      frameHeader(int64_t{1} << 40) + std::string(64, '\0'),
      frameHeader(5) + "\xff\xff\xff\xff\xff" + frame(acknowledgement(0)),
      frameHeader(3) + bytesFromHex("5a 0d 52") + frame(endOfSimulation("")),
      frame(loadingState(LoadingStateReport::Done)).substr(0, 5),
  };
  const uint32_t seeds[] = {1, 0x5eed, 0xdeadbeef};
  int index = 0;
  for (const std::string& stream : streams)
    for (uint32_t seed : seeds) writeReceive(dir, index++, seed, stream);

  index = 0;
  auto writeDelivery = [&](const std::string& bytes) {
    write(dir + "/delivery/seed-" + std::to_string(index++), bytes);
  };
  std::string allKinds;
  for (const EngineToClientMessage& message : kinds)
    allKinds += record(0, message.SerializeAsString());
  writeDelivery(allKinds + record(1, ""));
  std::string runRecords;
  for (const EngineToClientMessage& message : run)
    runRecords += record(0x01, message.SerializeAsString());
  writeDelivery(runRecords);
  const std::string rich = richFrame(9).SerializeAsString();
  const uint8_t behaviours[] = {0x01, 0x03, 0x05, 0x13, 0x15, 0x07, 0x25};
  for (uint8_t behaviour : behaviours)
    writeDelivery(record(0, rich) + record(0, richFrame(10).SerializeAsString()) +
                  record(behaviour, kinds[2].SerializeAsString()));
  writeDelivery(record(0, rich) + record(0, endOfSimulation("early").SerializeAsString()) +
                record(1, rich));
  writeDelivery(record(1, "\xff\xff\x01") + record(1, rich));
  std::cout << "wrote the corpus under " << dir << std::endl;
  return 0;
}
