#pragma once
#include <memory>

namespace kelvane {
class CLinkSession;

// The receiver: listens to the line for as long as the connection is open,
// answers the box's announcement and runs Upload and the Download watch.
int ReceiverThread(std::shared_ptr<CLinkSession> session);

}  // namespace kelvane
