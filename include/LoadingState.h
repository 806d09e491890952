#ifndef VANTREL_LOADING_STATE_H
#define VANTREL_LOADING_STATE_H

#include "EngineToClientMessage.pb.h"

namespace Vantrel {
namespace SDK {

/// Implemented by the client to follow the engine's scene loading. The object registered with
/// VantrelSim::registerLoadingStateCallback belongs to the proxy from then on (create it with new).
class LoadingState {
 public:
  virtual ~LoadingState() = default;
  /// Called from inside VantrelSim::isLoadingScene, newest state first.
  virtual void onLoadingStateChanged(LoadingStateReport_stateType state) = 0;
};

}  // namespace SDK
}  // namespace Vantrel

#endif
