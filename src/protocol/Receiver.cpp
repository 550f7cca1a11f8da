#include "protocol/Receiver.h"

#include "protocol/Owner.h"
#include "serial/SerialLink.h"

namespace kelvane {

// Placeholder loop: waits for the quit event only. Replaced by the receiver.
int ReceiverThread(std::shared_ptr<CLinkSession> s) {
  const CEvent* events[] = {&s->hQuitRx, &s->hAbortRx};
  for (;;) {
    const int r = WaitForEvents(events, 2, 10);
    if (r == 0) break;
    if (r == 1) {
      if (IFlasherOwner* o = s->link.pOwner.load()) o->UpdateControls(0);
      s->Close();
    }
  }
  s->link.bTransferRunning.store(0);
  return 0;
}

}  // namespace kelvane
