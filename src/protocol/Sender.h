#pragma once
#include <memory>

namespace kelvane {
class CLinkSession;

// The sender: checks the file and sends the Download request and blocks.
int SenderThread(std::shared_ptr<CLinkSession> session);

}  // namespace kelvane
