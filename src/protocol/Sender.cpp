#include "protocol/Sender.h"

#include "protocol/Owner.h"
#include "serial/SerialLink.h"

namespace kelvane {

// Placeholder loop: waits for the quit event only. Replaced by the sender.
int SenderThread(std::shared_ptr<CLinkSession> s) {
  const CEvent* events[] = {&s->hQuitTx, &s->hGo, &s->hAbortTx};
  for (;;) {
    const int r = WaitForEvents(events, 3, 10);
    if (r >= 0) events[r] == &s->hQuitTx ? void() : const_cast<CEvent*>(events[r])->Reset();
    if (r == 0) break;
  }
  s->link.bTransferRunning.store(0);
  if (IFlasherOwner* o = s->link.pOwner.load()) {
    o->ShowWriting(false);
    o->UpdateControls(0);
  }
  return 0;
}

}  // namespace kelvane
