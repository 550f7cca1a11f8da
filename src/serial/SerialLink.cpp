#include "serial/SerialLink.h"

#include "protocol/Receiver.h"
#include "protocol/Sender.h"
#include "serial/PortResolver.h"

namespace kelvane {

uint32_t BaudForIndex(int index) {
  static constexpr uint32_t kTable[] = {9600, 19200, 38400, 57600, 115200};
  return index >= 0 && index < 5 ? kTable[index] : 0;
}

// ---- one connection ---------------------------------------------------------

int CLinkSession::Read(uint8_t* buf, int max) {
  const int n = device.Read(buf, max);
  if (n > 0)
    if (ILineTrace* t = link.pTrace.load()) t->OnLineBytes(false, buf, n);
  return n;
}

int CLinkSession::Write(const uint8_t* data, int n) {
  if (ILineTrace* t = link.pTrace.load()) t->OnLineBytes(true, data, n);
  return device.Write(data, n);
}

int CLinkSession::ApplyLineSettings() {
  const uint32_t baud = link.dwBaudRate.load();
  if (!device.SetSpeed(baud)) return 0;
  if (ILineTrace* t = link.pTrace.load()) t->OnLineSpeed(baud);
  return 1;
}

int CLinkSession::Close() { return link.CloseSession(this); }

void CLinkSession::Cancel() {
  link.bTransferRunning.store(0);
  hAbortTx.Set();
  hAbortRx.Set();
}

int SetBaudIndex(CLinkSession& session, int index) {
  if (const uint32_t baud = BaudForIndex(index)) session.link.dwBaudRate.store(baud);
  return session.ApplyLineSettings();
}

int SetBaudIndex(CSerialLink& link, int index) {
  if (auto s = link.Session()) return SetBaudIndex(*s, index);
  if (const uint32_t baud = BaudForIndex(index)) link.dwBaudRate.store(baud);
  return 0;
}

// ---- the link ---------------------------------------------------------------

CSerialLink::CSerialLink() : receiverProc_(&ReceiverThread), senderProc_(&SenderThread) {}

CSerialLink::~CSerialLink() {
  Close();
  WaitForThreads();
}

void CSerialLink::SetDevicePath(const std::string& path) {
  std::lock_guard<std::mutex> lock(mu_);
  devicePath_ = path;
}

void CSerialLink::SetWorkerProcs(WorkerProc receiver, WorkerProc sender) {
  std::lock_guard<std::mutex> lock(mu_);
  receiverProc_ = receiver;
  senderProc_ = sender;
}

std::shared_ptr<CLinkSession> CSerialLink::Session() const {
  std::lock_guard<std::mutex> lock(mu_);
  return session_;
}

std::string CSerialLink::LastDevice() const {
  std::lock_guard<std::mutex> lock(mu_);
  return lastDevice_;
}
OpenFailure CSerialLink::LastFailure() const {
  std::lock_guard<std::mutex> lock(mu_);
  return lastFailure_;
}
std::string CSerialLink::LastFailureReason() const {
  std::lock_guard<std::mutex> lock(mu_);
  return lastReason_;
}

void CSerialLink::ReapFinishedLocked() {
  for (auto it = workers_.begin(); it != workers_.end();) {
    if (it->done->load()) {
      it->thread.join();
      it = workers_.erase(it);
    } else {
      ++it;
    }
  }
}

int CSerialLink::Open() {
  std::lock_guard<std::mutex> lock(mu_);
  if (bOpen.load()) return 0;
  ReapFinishedLocked();

  lastDevice_ = devicePath_.empty() ? ResolvePortDevice(nPort.load()) : devicePath_;
  lastFailure_ = OpenFailure::None;
  lastReason_.clear();
  auto s = std::make_shared<CLinkSession>(*this);
  if (!s->hQuitRx.Valid() || !s->hQuitTx.Valid() || !s->hGo.Valid() || !s->hAbortTx.Valid() ||
      !s->hAbortRx.Valid()) {
    lastFailure_ = OpenFailure::Other;
    lastReason_ = "cannot create the thread events";
    return 0;
  }
  if (!s->device.Open(lastDevice_, &lastFailure_, &lastReason_)) return 0;
  dwBaudRate.store(9600);
  if (!s->ApplyLineSettings()) {
    lastFailure_ = OpenFailure::Settings;
    lastReason_ = "the driver refused the line settings";
    s->device.Shutdown();
    return 0;
  }
  bOpen.store(1, std::memory_order_release);
  session_ = s;
  for (WorkerProc proc : {receiverProc_, senderProc_}) {
    if (!proc) continue;
    auto done = std::make_shared<std::atomic<bool>>(false);
    workers_.push_back(Worker{std::thread([proc, s, done] {
                                proc(s);
                                done->store(true);
                              }),
                              done});
  }
  return 1;
}

int CSerialLink::CloseSession(CLinkSession* s) {
  std::shared_ptr<CLinkSession> closing;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!bOpen.load() || (s && session_.get() != s)) return 0;
    bOpen.store(0, std::memory_order_release);
    closing.swap(session_);
  }
  closing->device.Shutdown();
  closing->hQuitRx.Set();
  closing->hQuitTx.Set();
  return 1;
}

int CSerialLink::Close() { return CloseSession(nullptr); }

void CSerialLink::Cancel() {
  bTransferRunning.store(0);
  if (auto s = Session()) {
    s->hAbortTx.Set();
    s->hAbortRx.Set();
  }
}

int CSerialLink::Read(uint8_t* buf, int max) {
  auto s = Session();
  return s ? s->Read(buf, max) : -1;
}

int CSerialLink::Write(const uint8_t* data, int n) {
  auto s = Session();
  return s ? s->Write(data, n) : 0;
}

int CSerialLink::ApplyLineSettings() {
  auto s = Session();
  return s ? s->ApplyLineSettings() : 0;
}

void CSerialLink::WaitForThreads() {
  std::vector<Worker> all;
  {
    std::lock_guard<std::mutex> lock(mu_);
    all.swap(workers_);
  }
  for (auto& w : all) w.thread.join();
}

}  // namespace kelvane
