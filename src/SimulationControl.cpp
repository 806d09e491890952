// Run control: scene loading, configuration, start and stop, log lines and the frame loop.
#include <iostream>

#include "VantrelSim.h"

namespace Vantrel {
namespace SDK {

namespace {

Command* wrapSimulationCommand(SimulationCommand* simulation) {
  auto* command = new Command;
  command->set_allocated_simulationcommand(simulation);
  return command;
}

}  // namespace

int VantrelSim::start(runMethod method) {
  auto* startSimulation = new StartSimulation;
  startSimulation->set_isblocking(method != 0);
  auto* simulation = new SimulationCommand;
  simulation->set_allocated_startsimulation(startSimulation);
  const int result = awaitAcknowledgement(sendCommand(wrapSimulationCommand(simulation)));
  if (result != VANTREL_ERR_OK) return result;
  m_IsRunning = true;
  return VANTREL_ERR_OK;
}

int VantrelSim::stop(int reasonId, const std::string& reasonText) {
  if (!m_IsRunning) return VANTREL_ERR_OK;
  auto* stopSimulation = new StopSimulation;
  stopSimulation->set_reasonid(static_cast<uint32_t>(reasonId));
  stopSimulation->set_reasontext(reasonText);
  auto* simulation = new SimulationCommand;
  simulation->set_allocated_stopsimulation(stopSimulation);
  const int sent = sendCommand(wrapSimulationCommand(simulation));
  if (sent != VANTREL_ERR_OK) return sent;
  m_IsRunning = false;
  return VANTREL_ERR_OK;
}

int VantrelSim::isRunning(bool& running) {
  running = m_IsRunning;
  return VANTREL_ERR_OK;
}

// Loading states that arrived while another operation waited are taken in without a new wait: the
// engine may already have sent Done, and waiting again would stall until the time-out.
int VantrelSim::isLoadingScene(bool& loading) {
  if (!m_IsLoadingScene) {
    loading = false;
    return VANTREL_ERR_OK;
  }
  if (m_LoadingStateList.empty()) {
    const int waited = m_Socket.waitForMessage(kLoadingTimeout);
    if (waited != VANTREL_ERR_OK) return waited;
  }
  while (!m_LoadingStateList.empty()) {
    const LoadingStateReport_stateType state = m_LoadingStateList.back().state();
    m_LoadingStateList.pop_back();
    if (m_LoadingStateCallback != nullptr) m_LoadingStateCallback->onLoadingStateChanged(state);
    if (state == LoadingStateReport::Done) m_IsLoadingScene = false;
  }
  loading = m_IsLoadingScene;
  return VANTREL_ERR_OK;
}

void VantrelSim::registerLoadingStateCallback(LoadingState& callback) {
  // The proxy owns every object registered with it; one it no longer points to would leak.
  if (m_LoadingStateCallback != &callback) delete m_LoadingStateCallback;
  m_LoadingStateCallback = &callback;
}

int VantrelSim::setConfiguration(ConfigurationCommand* configuration) {
  if (configuration == nullptr) return VANTREL_ERR_BAD_PARAMS;
  auto* command = new Command;
  command->set_allocated_configurationcommand(configuration);
  return awaitAcknowledgement(sendCommand(command));
}

int VantrelSim::log(int level, const std::string& text) {
  auto* logCommand = new LogCommand;
  logCommand->set_level(static_cast<uint32_t>(level));
  logCommand->set_msg(text.substr(0, text.find('\0')));
  auto* command = new Command;
  command->set_allocated_logcommand(logCommand);
  return sendCommand(command);
}

int VantrelSim::advanceFramesAndBlockForMessages(float timeout) {
  if (!m_IsRunning) {
    std::cerr << "Simulation not running" << std::endl;
    return VANTREL_ERR_UNEXPECTED;
  }
  auto* simulation = new SimulationCommand;
  simulation->set_allocated_nextframe(new NextFrame);
  const int sent = sendCommand(wrapSimulationCommand(simulation));
  if (sent != VANTREL_ERR_OK) return sent;
  const int waited = m_Socket.waitForMessage(timeout);
  if (waited != VANTREL_ERR_OK) return waited;
  if (m_SensorDataList.empty()) {
    std::cerr << "should not awake if m_SensorDataList is empty" << std::endl;
    return VANTREL_ERR_UNEXPECTED;
  }
  return VANTREL_ERR_OK;
}

int VantrelSim::getCurrFrame(unsigned int& frame) const {
  frame = m_CurrFrame;
  return VANTREL_ERR_OK;
}

int VantrelSim::getCurrSimulationTime(float& time) const {
  time = m_CurrSimulationTime;
  return VANTREL_ERR_OK;
}

}  // namespace SDK
}  // namespace Vantrel
