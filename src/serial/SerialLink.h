#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "serial/Event.h"
#include "serial/SerialDevice.h"

namespace kelvane {

class IFlasherOwner;
class CSerialLink;

// Receives every byte on the line and each speed switch (the front end's --trace).
class ILineTrace {
 public:
  virtual ~ILineTrace() = default;
  virtual void OnLineBytes(bool transmitted, const uint8_t* data, int n) = 0;
  virtual void OnLineSpeed(uint32_t baud) = 0;
};

// One connection: what one Open creates and its two worker threads hold until
// they end. A thread therefore never touches the port or the events of a later
// connection, even when Close and a new Open come before it has noticed.
class CLinkSession {
 public:
  explicit CLinkSession(CSerialLink& owner) : link(owner) {}
  CLinkSession(const CLinkSession&) = delete;
  CLinkSession& operator=(const CLinkSession&) = delete;

  CSerialLink& link;
  CSerialDevice device;
  // The five manual-reset events, created unsignalled with the connection.
  CEvent hQuitRx, hQuitTx, hGo, hAbortTx, hAbortRx;
  // Download bookkeeping the two threads of this connection share: how many
  // blocks the sender is to send (published before the first goes out), and
  // whether the box ended the transfer before it had answered all of them.
  std::atomic<uint32_t> downloadBlocks{UINT32_MAX};
  std::atomic<int> downloadUnconfirmed{0};

  // Takes only bytes that have already arrived: 1..max, 0 if none, -1 on error.
  int Read(uint8_t* buf, int max);
  // Returns when the bytes are on the wire; the count written.
  int Write(const uint8_t* data, int n);
  // Applies the link's dwBaudRate to this connection's device; 1/0.
  int ApplyLineSettings();
  // Closes the link if this is still its open connection: 1 if it closed it.
  int Close();
  // Asks both threads of this connection to abandon the transfer.
  void Cancel();
};

using WorkerProc = int (*)(std::shared_ptr<CLinkSession>);

// The one serial channel. The window embeds one for its whole life.
class CSerialLink {
 public:
  CSerialLink();
  // Closes an open link and waits for every worker thread it started. Whoever
  // owns the link must make its IFlasherOwner answer without blocking first.
  virtual ~CSerialLink();
  CSerialLink(const CSerialLink&) = delete;
  CSerialLink& operator=(const CSerialLink&) = delete;

  void SetOwner(IFlasherOwner* owner) { pOwner.store(owner); }
  void SetTrace(ILineTrace* trace) { pTrace.store(trace); }
  // A device path used instead of resolving nPort (the front end's --port
  // /dev/...; tests). Empty: resolve nPort as the port list does.
  void SetDevicePath(const std::string& path);
  // The thread procedures Open starts; nullptr starts none (tests of the link alone).
  void SetWorkerProcs(WorkerProc receiver, WorkerProc sender);

  // Opens port nPort at 9600 bit/s 8N1 and starts both worker threads.
  // 1 on success; 0 on failure or when already open (then nothing changes).
  int Open();
  // 1 if it closed an open link, 0 if the link was not open. Does not wait
  // for the threads: they see their quit event within one pass of their loop.
  int Close();
  // Clears bTransferRunning and signals hAbortTx and hAbortRx of the open connection.
  void Cancel();
  // On the open connection; -1 / 0 when the link is closed.
  int Read(uint8_t* buf, int max);
  int Write(const uint8_t* data, int n);
  int ApplyLineSettings();
  // PumpMessages: worker threads have no message queue here.
  void PumpMessages() {}

  bool IsOpen() const { return bOpen.load(std::memory_order_acquire) != 0; }
  std::shared_ptr<CLinkSession> Session() const;
  // The device of the last Open and why it failed, for an operator's message.
  std::string LastDevice() const;
  OpenFailure LastFailure() const;
  std::string LastFailureReason() const;
  // Joins every worker thread started so far (only safe when the link is
  // closed and the owner no longer blocks).
  void WaitForThreads();

  // Shared between the window and the worker threads.
  std::atomic<uint8_t> nPort{1};
  std::atomic<uint32_t> dwBaudRate{9600};
  std::atomic<IFlasherOwner*> pOwner{nullptr};
  std::atomic<int> bSaveChannelList{0};
  std::atomic<uint8_t> linkMode{0x30};
  std::atomic<int> bTransferRunning{0};
  std::atomic<uint32_t> dwRxTimeout{1000};
  std::atomic<uint32_t> dwLastActivity{0};
  std::atomic<ILineTrace*> pTrace{nullptr};

 private:
  friend class CLinkSession;
  int CloseSession(CLinkSession* s);
  void ReapFinishedLocked();

  struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };

  std::atomic<int> bOpen{0};
  mutable std::mutex mu_;
  std::shared_ptr<CLinkSession> session_;
  std::vector<Worker> workers_;
  std::string devicePath_;
  std::string lastDevice_;
  OpenFailure lastFailure_ = OpenFailure::None;
  std::string lastReason_;
  WorkerProc receiverProc_;
  WorkerProc senderProc_;
};

// The speed table: BaudIndex 0..4 -> 9600..115200; 0 for any other index.
uint32_t BaudForIndex(int index);
// Sets dwBaudRate from the table (any other index keeps the previous speed)
// and applies it. The first form works on the link's open connection.
int SetBaudIndex(CSerialLink& link, int index);
int SetBaudIndex(CLinkSession& session, int index);

}  // namespace kelvane
