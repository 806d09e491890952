#include "Session.h"

#include <cmath>
#include <cstdio>

#ifndef VANTREL_SANDBOX_VERSION
#error "VANTREL_SANDBOX_VERSION must be set by the build"
#endif

namespace Vantrel {
namespace Sandbox {

using namespace SDK;

namespace {

constexpr uint32_t kMaxFps = 1000000;  // faster than any step: every frame

EngineToClientMessage acknowledgement(int errorCode) {
  EngineToClientMessage message;
  message.mutable_errormessage()->set_errorcode(static_cast<VantrelErr>(errorCode));
  return message;
}

std::string terrainDescription(const Track& track) {
  char text[160];
  std::snprintf(text, sizeof text,
                "stadium track: %d lanes of %.1f m, two %.0f m straights, curves of %.0f m "
                "radius, %.1f m a lap",
                Track::kLaneCount, Track::kLaneWidth, Track::kStraightLength, Track::kRadius,
                track.length());
  return text;
}

void set(SDKVector3* vector, Vec3 value) {
  vector->set_x(static_cast<float>(value.x));
  vector->set_y(static_cast<float>(value.y));
  vector->set_z(static_cast<float>(value.z));
}

void describeBox(SDKBoundingBox* box, const Pose& pose, Vec3 size) {
  set(box->mutable_transform()->mutable_position(), {pose.x, pose.y, size.z / 2});
  set(box->mutable_transform()->mutable_rotation(), {0.0, 0.0, pose.yaw});
  box->set_length(static_cast<float>(size.x));
  box->set_width(static_cast<float>(size.y));
  box->set_height(static_cast<float>(size.z));
}

void describeCar(const Car& car, CarQueryReport& report) {
  report.set_name(car.name);
  report.set_brand("sandbox");
  set(report.mutable_velocity(), car.velocity);
  report.set_roiobjectid(car.roiObjectId);
  describeBox(report.mutable_boundingbox(), car.pose, {Car::kLength, Car::kWidth, Car::kHeight});
  report.mutable_locationparams()->set_roadid("stadium");
  report.mutable_locationparams()->set_laneid(Track::laneAt(car.onTrack.d));
  BehaviourParams* behaviour = report.mutable_behaviourparams();
  behaviour->set_politeness(car.behaviour.politeness);
  behaviour->set_safetytime(car.behaviour.safetyTime);
  behaviour->set_comfortablebraking(car.behaviour.comfortableBraking);
  behaviour->set_desiredspeed(car.behaviour.desiredSpeed);
  behaviour->set_desiredinterval(car.behaviour.desiredInterval);
  set(report.mutable_acceleration(), car.acceleration);
}

// A pedestrian walks a loop beside the road; its path is that loop, every 10 m.
void describePedestrian(const Pedestrian& pedestrian, const Track& track,
                        MovingObjectQueryReport& report) {
  report.set_name(pedestrian.name);
  report.set_roiobjectid(pedestrian.roiObjectId);
  describeBox(report.mutable_boundingbox(), pedestrian.pose,
              {Pedestrian::kLength, Pedestrian::kWidth, Pedestrian::kHeight});
  report.mutable_locationparams()->set_roadid("stadium-roadside");
  const int points = static_cast<int>(std::ceil(track.length() / 10.0));
  for (int i = 0; i < points; ++i) {
    const Pose at = track.poseAt(i * track.length() / points, pedestrian.d);
    SDKVector2* point = report.mutable_path()->add_waypoints();
    point->set_x(static_cast<float>(at.x));
    point->set_y(static_cast<float>(at.y));
  }
}

// The rate, its parameters carried by any of the three parameter messages.
struct SensorParameters {
  bool record;
  uint32_t fps;
};

}  // namespace

Session::Session(const EngineOptions& options, std::ostream& events, std::ostream& problems)
    : m_Options(options),
      m_Events(events),
      m_Problems(problems),
      m_World(options.seed),
      m_Sensors(options.camera) {}

std::vector<EngineToClientMessage> Session::handle(const ClientToEngineMessage& message) {
  std::vector<EngineToClientMessage> replies;
  switch (message.Msg_case()) {
    case ClientToEngineMessage::kQuery: {
      EngineToClientMessage reply;
      if (answerQuery(message.query(), *reply.mutable_queryreport())) {
        replies.push_back(std::move(reply));
      }
      break;
    }
    case ClientToEngineMessage::kCommand:
      replies = handleCommand(message.command());
      break;
    default:
      m_Problems << "sandbox: a message with neither a query nor a command, ignored" << std::endl;
      break;
  }
  for (EngineToClientMessage& reply : replies) reply = stamped(std::move(reply));
  return replies;
}

std::vector<EngineToClientMessage> Session::handleCommand(const Command& command) {
  switch (command.CommandType_case()) {
    case Command::kCarCommand:
      driveCar(command.carcommand());
      return {};
    case Command::kSimulationCommand:
      return handleSimulation(command.simulationcommand());
    case Command::kSensorCommand:
      return {acknowledgement(changeSensor(command.sensorcommand()))};
    case Command::kLogCommand:
      m_Events << "client log (level " << command.logcommand().level()
               << "): " << command.logcommand().msg() << std::endl;
      return {};
    case Command::kConfigurationCommand:
      return {acknowledgement(configure(command.configurationcommand()))};
    case Command::kGlobalSensorCommand:
      return {acknowledgement(changeGlobalSensor(command.globalsensorcommand()))};
    case Command::kVersionCommand:
      return handleVersion(command.versioncommand());
    default:
      m_Problems << "sandbox: a command of no known kind, ignored" << std::endl;
      return {};
  }
}

std::vector<EngineToClientMessage> Session::handleSimulation(const SimulationCommand& command) {
  switch (command.CommandType_case()) {
    case SimulationCommand::kStartSimulation:
      if (m_Ended) {
        m_Events << "start refused: the run has ended (" << m_EndReason << ")" << std::endl;
        return {acknowledgement(VANTREL_ERR_START_FAILED)};
      }
      m_Running = true;
      m_Events << "simulation started at frame " << m_Frame << std::endl;
      return {acknowledgement(VANTREL_ERR_OK)};
    case SimulationCommand::kStopSimulation:
      if (m_Running) {
        m_Events << "simulation stopped at frame " << m_Frame << " (reason "
                 << command.stopsimulation().reasonid() << ": "
                 << command.stopsimulation().reasontext() << ")" << std::endl;
      }
      m_Running = false;
      return {};
    case SimulationCommand::kNextFrame:
      return {nextFrame()};
    default:
      m_Problems << "sandbox: a simulation command of no known kind, ignored" << std::endl;
      return {};
  }
}

// The acknowledgement, then, the first time, the loading of the scene step by step.
std::vector<EngineToClientMessage> Session::handleVersion(const VersionCommand& command) {
  m_Events << "client announces SDK \"" << command.sdkversion() << "\", OEM \""
           << command.oemversion() << "\"" << std::endl;
  std::vector<EngineToClientMessage> replies{acknowledgement(VANTREL_ERR_OK)};
  if (m_LoadingAnnounced) return replies;
  m_LoadingAnnounced = true;
  for (int state = LoadingStateReport::stateType_MIN; state <= LoadingStateReport::stateType_MAX;
       ++state) {
    EngineToClientMessage loading;
    loading.mutable_loadingstate()->set_state(static_cast<LoadingStateReport_stateType>(state));
    replies.push_back(std::move(loading));
  }
  return replies;
}

bool Session::answerQuery(const Query& query, QueryReport& report) {
  switch (query.QueryType_case()) {
    case Query::kEngineVersionQuery:
      report.mutable_engineversionreport()->set_version(
          "vantrel-sandbox-engine " VANTREL_SANDBOX_VERSION);
      return true;
    case Query::kTerrainQuery:
      report.mutable_terrainqueryreport()->set_terraintype(terrainDescription(m_World.track()));
      return true;
    case Query::kCarsQuery: {
      CarsQueryReport* cars = report.mutable_carsqueryreport();
      for (const Car& car : m_World.cars()) describeCar(car, *cars->add_carqueryreport());
      return true;
    }
    case Query::kMovingObjectsQuery: {
      MovingObjectsQueryReport* objects = report.mutable_movingobjectsqueryreport();
      for (const Pedestrian& pedestrian : m_World.pedestrians()) {
        describePedestrian(pedestrian, m_World.track(), *objects->add_movingobjectqueryreport());
      }
      return true;
    }
    case Query::kSensorsQuery: {
      // Only the ego car carries sensors; another car's list is empty.
      SensorsQueryReport* sensors = report.mutable_sensorsqueryreport();
      if (query.sensorsquery().carid() != World::kEgoId) return true;
      for (const SensorEntry& sensor : sensorCatalogue()) {
        if (isGlobalSensor(sensor)) continue;
        m_Sensors.describe(sensor, announcedFps(sensor), *sensors->add_sensorsqueryreport());
      }
      return true;
    }
    case Query::kGlobalSensorsQuery: {
      GlobalSensorsQueryReport* sensors = report.mutable_globalsensorsqueryreport();
      for (const SensorEntry& sensor : sensorCatalogue()) {
        if (!isGlobalSensor(sensor)) continue;
        m_Sensors.describe(sensor, announcedFps(sensor), *sensors->add_globalsensorqueryreport());
      }
      return true;
    }
    default:
      m_Problems << "sandbox: a query of no known kind, ignored" << std::endl;
      return false;
  }
}

// A configuration without time stepping keeps the step in force.
int Session::configure(const ConfigurationCommand& command) {
  if (command.has_timestepconfig()) {
    const TimeStepConfig& timing = command.timestepconfig();
    const float step = timing.fixeddeltatime();
    const int64_t micros = std::llround(static_cast<double>(step) * 1e6);
    if (!(step > 0.0f && step <= 1.0f) || micros < 1) {
      m_Events << "configuration refused: fixedDeltaTime " << step
               << " is not above 0 and at most 1" << std::endl;
      return VANTREL_ERR_BAD_TIMING_SETTINGS;
    }
    m_StepMicroseconds = micros;
    const float wakeup = timing.wakeupeverysteps();
    m_WakeupEverySteps =
        wakeup >= 1.0f && wakeup < 1e9f ? static_cast<uint32_t>(std::lround(wakeup)) : 0;
  }
  m_Events << "configured: a step of " << m_StepMicroseconds / 1e6 << " s" << std::endl;
  return VANTREL_ERR_OK;
}

int Session::changeSensor(const SensorCommand& command) {
  if (command.carid() >= m_World.cars().size()) return VANTREL_ERR_CAR_NOT_FOUND;
  const SensorEntry* sensor = findSensor(command.sensorid());
  if (command.carid() != World::kEgoId || sensor == nullptr || isGlobalSensor(*sensor)) {
    m_Events << "no sensor " << command.sensorid() << " on car " << command.carid() << std::endl;
    return VANTREL_ERR_SENSORS_NOT_FOUND;
  }
  return changeSensor(*sensor, command.has_registersensor(),
                      command.has_modifysensor() ? &command.modifysensor() : nullptr);
}

int Session::changeGlobalSensor(const GlobalSensorCommand& command) {
  const SensorEntry* sensor = findSensor(command.sensorid());
  if (sensor == nullptr || !isGlobalSensor(*sensor)) {
    m_Events << "no global sensor " << command.sensorid() << std::endl;
    return VANTREL_ERR_SENSORS_NOT_FOUND;
  }
  return changeSensor(*sensor, command.has_registersensor(),
                      command.has_modifysensor() ? &command.modifysensor() : nullptr);
}

// Parameters must be of the sensor's kind: camera parameters for the cameras, lidar parameters for
// the lidar, ground-truth parameters for the ground-truth sensor.
int Session::changeSensor(const SensorEntry& sensor, bool registering, const ModifySensor* modify) {
  SensorState& state = m_SensorStates[sensor.id];
  if (registering) {
    state.registered = true;
    m_Events << "sensor " << sensor.id << " (" << sensor.name << ") registered" << std::endl;
    return VANTREL_ERR_OK;
  }
  bool fits = false;
  SensorParameters parameters{false, 0};
  if (modify != nullptr) {
    switch (modify->SensorType_case()) {
      case ModifySensor::kRgbCameraModifiable:
        fits = isCamera(sensor);
        parameters = {modify->rgbcameramodifiable().record(), modify->rgbcameramodifiable().fps()};
        break;
      case ModifySensor::kLidarModifiable:
        fits = sensor.kind == SensorKind::Lidar;
        parameters = {modify->lidarmodifiable().record(), modify->lidarmodifiable().fps()};
        break;
      case ModifySensor::kDOGTModifiable:
        fits = isGlobalSensor(sensor);
        parameters = {modify->dogtmodifiable().record(), modify->dogtmodifiable().fps()};
        break;
      default:
        break;
    }
  }
  if (!fits) {
    m_Events << "change of sensor " << sensor.id << " (" << sensor.name
             << ") refused: no parameters of its kind" << std::endl;
    return VANTREL_ERR_BAD_PARAMS;
  }
  state.record = parameters.record;
  state.fps = std::min(parameters.fps, kMaxFps);
  m_Events << "sensor " << sensor.id << " (" << sensor.name << ") set to " << state.fps << " fps"
           << std::endl;
  return VANTREL_ERR_OK;
}

void Session::driveCar(const CarCommand& command) {
  if (m_Ended) {
    m_Problems << "sandbox: car command after the end of the simulation, ignored" << std::endl;
    return;
  }
  std::vector<std::string> problems;
  m_World.command(command, problems);
  for (const std::string& problem : problems) m_Problems << "sandbox: " << problem << std::endl;
}

EngineToClientMessage Session::nextFrame() {
  if (m_Ended) return end(m_EndReason);
  EngineToClientMessage reply;
  SensorData* data = reply.mutable_registerreport();
  if (!m_Running) {
    m_Problems << "sandbox: next frame while the simulation does not run; no sensor data"
               << std::endl;
    return reply;
  }
  if (m_Options.frameBudget > 0 && m_Frame >= m_Options.frameBudget) {
    return end("frame budget of " + std::to_string(m_Options.frameBudget) + " frames reached");
  }
  ++m_Frame;
  m_TimeMicroseconds += m_StepMicroseconds;
  const std::string reason = m_World.step(m_StepMicroseconds / 1e6);
  if (!reason.empty()) return end(reason + " at frame " + std::to_string(m_Frame));

  const Stamp stamp{m_Frame, static_cast<float>(m_TimeMicroseconds / 1e6)};
  for (const auto& entry : m_SensorStates) {
    if (!entry.second.registered || !isDue(entry.second.fps)) continue;
    m_Sensors.produce(*findSensor(entry.first), m_World, stamp, *data);
  }
  if (m_WakeupEverySteps > 0 && m_Frame % m_WakeupEverySteps == 0) {
    SensorOutput* wakeup = data->add_sensorsoutput();
    wakeup->set_outputtime(stamp.time);
    wakeup->set_outputframenum(stamp.frame);
    wakeup->mutable_wakeupoutput();
  }
  return reply;
}

EngineToClientMessage Session::end(const std::string& reason) {
  if (!m_Ended) m_Events << "simulation ended: " << reason << std::endl;
  m_Ended = true;
  m_Running = false;
  m_EndReason = reason;
  EngineToClientMessage message;
  message.mutable_endofsimulation()->set_reason(reason);
  return message;
}

// A sensor samples at the instants n / fps; it is due in the frame whose step covers one of them,
// so it delivers in the first frame and then at its rate on average.
bool Session::isDue(uint32_t fps) const {
  if (fps == 0) return true;
  auto samplesBefore = [fps](int64_t micros) { return (micros * fps + 999999) / 1000000; };
  return samplesBefore(m_TimeMicroseconds) > samplesBefore(m_TimeMicroseconds - m_StepMicroseconds);
}

// The rate set for the sensor, or else the rate of the frames.
uint32_t Session::announcedFps(const SensorEntry& sensor) const {
  const auto state = m_SensorStates.find(sensor.id);
  if (state != m_SensorStates.end() && state->second.fps > 0) return state->second.fps;
  return static_cast<uint32_t>(std::max<int64_t>(1, std::llround(1e6 / m_StepMicroseconds)));
}

EngineToClientMessage Session::stamped(EngineToClientMessage message) const {
  message.set_framenumber(m_Frame);
  message.set_simulationtimeinsec(static_cast<float>(m_TimeMicroseconds / 1e6));
  return message;
}

}  // namespace Sandbox
}  // namespace Vantrel
