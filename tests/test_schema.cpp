// Wire-level checks of the generated message classes: the bytes the engine sees and the decoding
// rules the receive path depends on.

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ClientToEngineMessage.pb.h"
#include "EngineToClientMessage.pb.h"
#include "ErrorCodes.pb.h"
#include "ROIOutput.pb.h"
#include "Sensors.pb.h"

namespace Vantrel::SDK {
namespace {

// Tables state wire bytes as readable hex ("62 00"); failures print them the same way.
std::string FromHex(const std::string& hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 3) {
    bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

std::string ToHex(const std::string& bytes) {
  std::string hex;
  for (unsigned char byte : bytes) {
    char buf[4];
    std::snprintf(buf, sizeof buf, "%02X ", byte);
    hex += buf;
  }
  if (!hex.empty()) hex.pop_back();
  return hex;
}

std::string Encode(const google::protobuf::Message& message) {
  std::string bytes(message.ByteSizeLong(), '\0');
  EXPECT_TRUE(message.SerializeToArray(bytes.data(), static_cast<int>(bytes.size())));
  return bytes;
}

// ---------------------------------------------------------------------------------------------
// Acknowledgements: the error code is an open enum carried as a sign-extended 64-bit varint.

struct AcknowledgementCase {
  int errorCode;
  std::string envelopeHex;  // EngineToClientMessage { errorMessage { errorCode } }
};

TEST(SchemaTest, AcknowledgementCodesTravelAsSignExtendedVarints) {
  const std::vector<AcknowledgementCase> cases = {
      // Code 0 leaves the ErrorMessage empty, yet the envelope still carries it as tag + length 0.
      {VANTREL_ERR_OK, "62 00"},
      // A negative code is a 10-byte varint: the ErrorMessage itself is 11 bytes.
      {VANTREL_ERR_CONNECTION_TIMEOUT, "62 0B 08 95 F8 FF FF FF FF FF FF FF 01"},
      {VANTREL_ERR_BAD_TIMING_SETTINGS, "62 0B 08 90 D1 FF FF FF FF FF FF FF 01"},
      // A code the enumeration does not list must reach the reader as the same number.
      {-7, "62 0B 08 F9 FF FF FF FF FF FF FF FF 01"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("errorCode " + std::to_string(c.errorCode));
    EngineToClientMessage sent;
    sent.mutable_errormessage()->set_errorcode(static_cast<VantrelErr>(c.errorCode));
    EXPECT_EQ(ToHex(Encode(sent)), c.envelopeHex);
    EXPECT_EQ(sent.errormessage().ByteSizeLong(), c.errorCode == 0 ? 0u : 11u);

    const std::string wire = FromHex(c.envelopeHex);
    EngineToClientMessage received;
    ASSERT_TRUE(received.ParseFromArray(wire.data(), static_cast<int>(wire.size())));
    EXPECT_EQ(received.ReportType_case(), EngineToClientMessage::kErrorMessage);
    EXPECT_EQ(received.ReportType_case(), 12);
    EXPECT_EQ(static_cast<int>(received.errormessage().errorcode()), c.errorCode);
  }
  EXPECT_FALSE(VantrelErr_IsValid(-7));
}

// ---------------------------------------------------------------------------------------------
// Oneof members: an empty member is still present (tag + length 0) and selects its case.

struct OneofMemberCase {
  const google::protobuf::Message* prototype;
  const char* field;
  std::string hex;  // the parent holding only this member, empty
};

TEST(SchemaTest, EmptyOneofMemberEncodesAsTagAndZeroLengthAndSelectsItsCase) {
  const std::vector<OneofMemberCase> cases = {
      {&ClientToEngineMessage::default_instance(), "query", "52 00"},
      {&ClientToEngineMessage::default_instance(), "command", "5A 00"},
      {&Query::default_instance(), "sensorsQuery", "52 00"},
      {&Query::default_instance(), "engineVersionQuery", "5A 00"},
      {&Query::default_instance(), "carsQuery", "62 00"},
      {&Query::default_instance(), "terrainQuery", "6A 00"},
      {&Query::default_instance(), "movingObjectsQuery", "72 00"},
      {&Query::default_instance(), "globalSensorsQuery", "7A 00"},
      {&Command::default_instance(), "versionCommand", "82 01 00"},
      {&CarCommand::default_instance(), "aiDriving", "62 00"},
      {&SimulationCommand::default_instance(), "nextFrame", "62 00"},
      {&SensorCommand::default_instance(), "registerSensor", "52 00"},
      {&GlobalSensorCommand::default_instance(), "registerSensor", "52 00"},
      {&ModifySensor::default_instance(), "DOGTModifiable", "C2 02 00"},
      {&EngineToClientMessage::default_instance(), "loadingState", "72 00"},
      {&SensorOutput::default_instance(), "wakeupOutput", "6A 00"},
      {&SensorOutput::default_instance(), "dynamicObjectGroundTruthOutput", "C2 02 00"},
      {&ObjectDescription::default_instance(), "trafficSign", "BA 01 00"},
      {&ObjectDescription::default_instance(), "laneMark", "C2 01 00"},
      {&ObjectDescription::default_instance(), "animal", "D2 01 00"},
      {&GlobalSensorQueryReport::default_instance(), "DOGTReport", "52 00"},
      {&SensorQueryReport::default_instance(), "radarReport", "62 00"},
      {&SensorQueryReport::default_instance(), "gpsReport", "6A 00"},
      {&SensorQueryReport::default_instance(), "roiReport", "72 00"},
      {&SensorQueryReport::default_instance(), "e2cReport", "7A 00"},
      {&SensorQueryReport::default_instance(), "laneDetectorReport", "82 01 00"},
      {&SensorQueryReport::default_instance(), "carTelemetriesReport", "9A 01 00"},
      {&RadarOutput_Target::default_instance(), "geometricTarget", "92 03 00"},
      {&RadarOutput_Target::default_instance(), "radarTarget", "9A 03 00"},
  };
  for (const auto& c : cases) {
    const auto* descriptor = c.prototype->GetDescriptor();
    SCOPED_TRACE(descriptor->name() + "." + c.field);
    const auto* field = descriptor->FindFieldByName(c.field);
    ASSERT_NE(field, nullptr);
    ASSERT_NE(field->real_containing_oneof(), nullptr);

    std::unique_ptr<google::protobuf::Message> sent(c.prototype->New());
    sent->GetReflection()->MutableMessage(sent.get(), field);
    EXPECT_EQ(ToHex(Encode(*sent)), c.hex);

    const std::string wire = FromHex(c.hex);
    std::unique_ptr<google::protobuf::Message> received(c.prototype->New());
    ASSERT_TRUE(received->ParseFromArray(wire.data(), static_cast<int>(wire.size())));
    EXPECT_EQ(received->GetReflection()->GetOneofFieldDescriptor(*received,
                                                                 field->real_containing_oneof()),
              field);
  }
}

TEST(SchemaTest, EnvelopeWithoutQueryOrCommandEncodesToNothing) {
  ClientToEngineMessage message;
  EXPECT_EQ(message.Msg_case(), ClientToEngineMessage::MSG_NOT_SET);
  EXPECT_EQ(message.ByteSizeLong(), 0u);
  EXPECT_EQ(Encode(message), "");
}

// The case accessors the proxy switches on return the raw field numbers.
TEST(SchemaTest, OneofCaseAccessorsReturnFieldNumbers) {
  ClientToEngineMessage out;
  out.mutable_command()->mutable_simulationcommand()->mutable_nextframe();
  EXPECT_EQ(out.Msg_case(), 11);
  EXPECT_EQ(out.command().CommandType_case(), 11);
  EXPECT_EQ(out.command().simulationcommand().CommandType_case(), 12);

  SensorOutput output;
  output.mutable_gpsoutput();
  EXPECT_EQ(output.SensorType_case(), 12);
  // Setting another member drops the one set before.
  output.set_allocated_dynamicobjectgroundtruthoutput(new DynamicObjectGroundTruthOutput);
  EXPECT_EQ(output.SensorType_case(), 40);
  EXPECT_FALSE(output.has_gpsoutput());
}

// ---------------------------------------------------------------------------------------------
// Field numbers keep the gaps the engine expects.

struct EncodingCase {
  const char* label;
  std::function<std::string()> encode;
  std::string hex;
};

TEST(SchemaTest, FieldNumbersKeepTheirGaps) {
  const std::vector<EncodingCase> cases = {
      {"TeleportConfig has only field 2",
       [] {
         TeleportConfig m;
         m.set_teleporttransformdim(TeleportConfig::ThreeD);
         return Encode(m);
       },
       "10 01"},
      {"TrafficLight begins at 2",
       [] {
         TrafficLight m;
         m.set_status(TrafficLight::STOP);
         m.set_facing(1.0f);
         return Encode(m);
       },
       "10 04 45 00 00 80 3F"},
      {"GlobalSensorQueryReport has 1, 2, 4 and 10",
       [] {
         GlobalSensorQueryReport m;
         m.set_name("n");
         m.set_sensorid(1);
         m.set_fps(2);
         m.mutable_dogtreport();
         return Encode(m);
       },
       "0A 01 6E 10 01 20 02 52 00"},
      {"MovingObjectQueryReport has no field 3",
       [] {
         MovingObjectQueryReport m;
         m.set_brand("b");
         m.set_roiobjectid(3);
         m.mutable_path();
         return Encode(m);
       },
       "12 01 62 20 03 3A 00"},
      {"RadarTarget has 1, 2, 3, 5 and 6",
       [] {
         RadarOutput_Target_RadarTarget m;
         m.set_trackingstatus(1);
         m.set_age(2);
         m.set_lastseen(3);
         m.set_isstationary(true);
         m.set_isghost(true);
         return Encode(m);
       },
       "08 01 10 02 18 03 28 01 30 01"},
      {"ModifySensor.DOGTModifiable is 40",
       [] {
         ModifySensor m;
         m.mutable_dogtmodifiable()->set_fps(30);
         return Encode(m);
       },
       "C2 02 02 10 1E"},
      {"GPSOutput.long is 2",
       [] {
         GPSOutput m;
         m.set_long_(2.0f);
         m.set_navigationsegment(-1);
         return Encode(m);
       },
       "15 00 00 00 40 68 FF FF FF FF FF FF FF FF FF 01"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(ToHex(c.encode()), c.hex);
  }
  // The accessor is renamed to dodge the keyword; the schema's field name is not.
  EXPECT_EQ(GPSOutput::descriptor()->FindFieldByNumber(2)->name(), "long");
}

// ---------------------------------------------------------------------------------------------
// Decoding rules of the receive path.

TEST(SchemaTest, NoiseMaskDecodesTheSameWhetherPackedOrNot) {
  LidarMask mask;
  mask.add_noisemask(1);
  mask.add_noisemask(150);
  EXPECT_EQ(ToHex(Encode(mask)), "2A 03 01 96 01");  // written packed

  for (const std::string hex : {"2A 03 01 96 01", "28 01 28 96 01", "28 01 2A 02 96 01"}) {
    SCOPED_TRACE(hex);
    const std::string wire = FromHex(hex);
    LidarMask received;
    ASSERT_TRUE(received.ParseFromArray(wire.data(), static_cast<int>(wire.size())));
    ASSERT_EQ(received.noisemask_size(), 2);
    EXPECT_EQ(received.noisemask(0), 1u);
    EXPECT_EQ(received.noisemask(1), 150u);
  }
}

struct DecodeCase {
  const char* label;
  std::string hex;  // an EngineToClientMessage
  bool decodes;
};

TEST(SchemaTest, EngineMessageDecodingFailsOnBadStringsAndTruncation) {
  const std::vector<DecodeCase> cases = {
      {"valid UTF-8 reason", "6A 04 0A 02 C3 A9", true},
      {"invalid UTF-8 reason", "6A 04 0A 02 C3 28", false},
      // registerReport > sensorsOutput > msgToClientOutput.param
      {"invalid UTF-8 deep in sensor data", "5A 07 0A 05 7A 03 0A 01 FF", false},
      // lidarOutput.points is bytes, so any content is fine
      {"arbitrary bytes in a bytes field", "5A 07 0A 05 72 03 0A 01 FF", true},
      {"ends inside a field", "6A 04 0A 02 C3", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string wire = FromHex(c.hex);
    EngineToClientMessage received;
    testing::internal::CaptureStderr();  // the runtime logs each UTF-8 failure
    const bool decoded = received.ParseFromArray(wire.data(), static_cast<int>(wire.size()));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(decoded, c.decodes);
  }
}

TEST(SchemaTest, OutgoingStringWithInvalidUtf8IsSentUnchanged) {
  ClientToEngineMessage out;
  out.mutable_command()->mutable_logcommand()->set_msg("\xFF");
  testing::internal::CaptureStderr();
  const std::string bytes = Encode(out);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(ToHex(bytes), "5A 05 6A 03 12 01 FF");
}

}  // namespace
}  // namespace Vantrel::SDK
