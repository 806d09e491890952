// The ten queries about the scene. Each is one request-and-reply exchange before the simulation
// runs; they differ only in their row of the query table below, and share one round trip,
// VantrelSim::runQuery.
#include <iostream>
#include <type_traits>
#include <utility>

#include "VantrelSim.h"

namespace Vantrel {
namespace SDK {

namespace {

using google::protobuf::RepeatedPtrField;

// The out-parameter of getCarInfo and getSensorInfo: the entry at `index` of the reply's list.
template <typename Entry>
struct AtIndex {
  unsigned int index;
  Entry& entry;
};

// What a query does with a reply of another kind, which is dropped in any case.
template <typename Answer>
struct OtherKind {
  const char* diagnostic;  // nullptr: dropped silently
  int result;
  void (*adjustAnswer)(Answer answer);  // nullptr: the out-parameter keeps its value
};

// One query: the request it sends, the reply kind it expects, how it copies that reply into its
// out-parameter (`Answer`), the line it writes when the send fails, and its reaction to a reply of
// another kind.
template <typename AnswerType>
struct QueryRow {
  using Answer = AnswerType;
  void (*buildRequest)(Query& query);
  QueryReport::QueryTypeCase expected;
  int (*copyAnswer)(const QueryReport& reply, Answer answer);
  const char* sendDiagnostic;  // nullptr: none
  OtherKind<Answer> otherKind;
};

// ---- Requests. All are empty messages; the sensor queries always ask about car 0, which leaves
// the encoded SensorsQuery empty as well.
void requestEngineVersion(Query& query) { query.mutable_engineversionquery(); }
void requestTerrain(Query& query) { query.mutable_terrainquery(); }
void requestCars(Query& query) { query.mutable_carsquery(); }
void requestMovingObjects(Query& query) { query.mutable_movingobjectsquery(); }
void requestCarSensors(Query& query) { query.mutable_sensorsquery()->set_carid(0); }
void requestGlobalSensors(Query& query) { query.mutable_globalsensorsquery(); }

// ---- What the replies carry.
const std::string& engineVersionOf(const QueryReport& reply) {
  return reply.engineversionreport().version();
}
const std::string& terrainOf(const QueryReport& reply) {
  return reply.terrainqueryreport().terraintype();
}
const RepeatedPtrField<CarQueryReport>& carsOf(const QueryReport& reply) {
  return reply.carsqueryreport().carqueryreport();
}
const RepeatedPtrField<MovingObjectQueryReport>& movingObjectsOf(const QueryReport& reply) {
  return reply.movingobjectsqueryreport().movingobjectqueryreport();
}
const RepeatedPtrField<SensorQueryReport>& carSensorsOf(const QueryReport& reply) {
  return reply.sensorsqueryreport().sensorsqueryreport();
}
const RepeatedPtrField<GlobalSensorQueryReport>& globalSensorsOf(const QueryReport& reply) {
  return reply.globalsensorsqueryreport().globalsensorqueryreport();
}

template <auto entries>
using EntryOf =
    typename std::decay_t<decltype(entries(std::declval<const QueryReport&>()))>::value_type;

// ---- Copying a reply out: a string is replaced, a count set, one entry copied exactly (its
// previous content discarded), or every entry appended after what the vector already holds.
template <auto text>
int replaceText(const QueryReport& reply, std::string& answer) {
  answer = text(reply);
  return VANTREL_ERR_OK;
}

template <auto entries>
int countEntries(const QueryReport& reply, unsigned int& count) {
  count = static_cast<unsigned int>(entries(reply).size());
  return VANTREL_ERR_OK;
}

// The index is a position in the reply's list, not an id.
template <auto entries>
int copyEntryAt(const QueryReport& reply, AtIndex<EntryOf<entries>> answer) {
  const auto& list = entries(reply);
  if (answer.index >= static_cast<unsigned int>(list.size())) return VANTREL_ERR_BAD_PARAMS;
  answer.entry = list.Get(static_cast<int>(answer.index));
  return VANTREL_ERR_OK;
}

template <auto entries>
int appendEntries(const QueryReport& reply, std::vector<EntryOf<entries>>& answer) {
  const auto& list = entries(reply);
  answer.insert(answer.end(), list.begin(), list.end());
  return VANTREL_ERR_OK;
}

void zeroCount(unsigned int& count) { count = 0; }

constexpr const char* kOtherThanCars = "asked for cars, received other message";
constexpr const char* kOtherThanSensors = "asked for sensors, received other message";

// ---- The query table. Each row, in the order of QueryRow: request; expected reply; copy-out;
// send diagnostic; reply of another kind: {diagnostic, result, effect on the out-parameter}.
// clang-format off
constexpr QueryRow<std::string&> kEngineVersionQuery{
    requestEngineVersion, QueryReport::kEngineVersionReport, replaceText<engineVersionOf>,
    "failed to send engine version message",
    {"asked for engine version, received other message", VANTREL_ERR_UNEXPECTED, nullptr}};

constexpr QueryRow<std::string&> kTerrainQuery{
    requestTerrain, QueryReport::kTerrainQueryReport, replaceText<terrainOf>,
    "failed to send get terrain message",
    {"asked for terrain, received other message", VANTREL_ERR_NOT_IMPLEMENTED, nullptr}};

constexpr QueryRow<unsigned int&> kNumberOfCarsQuery{
    requestCars, QueryReport::kCarsQueryReport, countEntries<carsOf>,
    "failed to send getNumberOfCars message",
    {nullptr, VANTREL_ERR_UNEXPECTED, nullptr}};

constexpr QueryRow<AtIndex<CarQueryReport>> kCarInfoQuery{
    requestCars, QueryReport::kCarsQueryReport, copyEntryAt<carsOf>,
    nullptr,
    {nullptr, VANTREL_ERR_UNEXPECTED, nullptr}};

constexpr QueryRow<std::vector<CarQueryReport>&> kCarsInfoQuery{
    requestCars, QueryReport::kCarsQueryReport, appendEntries<carsOf>,
    nullptr,
    {kOtherThanCars, VANTREL_ERR_OK, nullptr}};

constexpr QueryRow<std::vector<MovingObjectQueryReport>&> kMovingObjectInfoQuery{
    requestMovingObjects, QueryReport::kMovingObjectsQueryReport, appendEntries<movingObjectsOf>,
    nullptr,
    {kOtherThanCars, VANTREL_ERR_OK, nullptr}};

constexpr QueryRow<unsigned int&> kNumberSensorsQuery{
    requestCarSensors, QueryReport::kSensorsQueryReport, countEntries<carSensorsOf>,
    nullptr,
    {kOtherThanSensors, VANTREL_ERR_OK, zeroCount}};

constexpr QueryRow<AtIndex<SensorQueryReport>> kSensorInfoQuery{
    requestCarSensors, QueryReport::kSensorsQueryReport, copyEntryAt<carSensorsOf>,
    nullptr,
    {kOtherThanSensors, VANTREL_ERR_UNEXPECTED, nullptr}};

constexpr QueryRow<std::vector<GlobalSensorQueryReport>&> kGlobalSensorsQuery{
    requestGlobalSensors, QueryReport::kGlobalSensorsQueryReport, appendEntries<globalSensorsOf>,
    nullptr,
    {"asked for global sensors, received other message", VANTREL_ERR_NOT_IMPLEMENTED, nullptr}};

constexpr QueryRow<std::vector<SensorQueryReport>&> kSensorsInfoQuery{
    requestCarSensors, QueryReport::kSensorsQueryReport, appendEntries<carSensorsOf>,
    nullptr,
    {kOtherThanSensors, VANTREL_ERR_NOT_IMPLEMENTED, nullptr}};
// clang-format on

}  // namespace

// A reply names no request, so it is matched to the query by its kind alone, newest first. The
// first wait happens even when a reply is already queued: the engine answers every query.
template <typename Row>
int VantrelSim::runQuery(const Row& row, typename Row::Answer answer) {
  ClientToEngineMessage message;
  row.buildRequest(*message.mutable_query());
  const int sent = sendMessage(message);
  if (sent != VANTREL_ERR_OK) {
    if (row.sendDiagnostic != nullptr) std::cerr << row.sendDiagnostic << std::endl;
    return sent;
  }
  const int waited = waitForQueryMessage(kQueryTimeout);
  if (waited != VANTREL_ERR_OK) return waited;

  const EngineToClientMessage newest = std::move(m_QueryList.back());
  m_QueryList.pop_back();
  const QueryReport& reply = newest.queryreport();
  if (reply.QueryType_case() == row.expected) return row.copyAnswer(reply, answer);

  const OtherKind<typename Row::Answer>& other = row.otherKind;
  if (other.diagnostic != nullptr) std::cerr << other.diagnostic << std::endl;
  if (other.adjustAnswer != nullptr) other.adjustAnswer(answer);
  return other.result;
}

int VantrelSim::getEngineVersion(std::string& version) {
  return runQuery(kEngineVersionQuery, version);
}

int VantrelSim::getTerrain(std::string& terrain) { return runQuery(kTerrainQuery, terrain); }

int VantrelSim::getNumberOfCars(unsigned int& count) { return runQuery(kNumberOfCarsQuery, count); }

int VantrelSim::getCarInfo(unsigned int index, CarQueryReport& car) {
  return runQuery(kCarInfoQuery, {index, car});
}

int VantrelSim::getCarsInfo(std::vector<CarQueryReport>& cars) {
  return runQuery(kCarsInfoQuery, cars);
}

int VantrelSim::getMovingObjectInfo(std::vector<MovingObjectQueryReport>& objects) {
  return runQuery(kMovingObjectInfoQuery, objects);
}

int VantrelSim::getNumberSensors(unsigned int& count) {
  return runQuery(kNumberSensorsQuery, count);
}

int VantrelSim::getSensorInfo(unsigned int index, SensorQueryReport& sensor) {
  return runQuery(kSensorInfoQuery, {index, sensor});
}

int VantrelSim::getGlobalSensors(std::vector<GlobalSensorQueryReport>& sensors) {
  return runQuery(kGlobalSensorsQuery, sensors);
}

int VantrelSim::getSensorsInfo(std::vector<SensorQueryReport>& sensors) {
  return runQuery(kSensorsInfoQuery, sensors);
}

}  // namespace SDK
}  // namespace Vantrel
