#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "protocol/Owner.h"
#include "serial/SerialLink.h"

namespace kelvane {

enum RxState : uint8_t {
  RxListen = 0,
  RxAwaitSize = 1,      // Upload: UploadRequest sent, waiting for the SizeRecord
  RxReceiveData = 2,    // Upload: blocks or packets arriving
  RxAwaitVerdict = 3,   // Upload, LinkMode 0x20: packet sum sent, waiting for 'K'/'N'
  RxAwaitAccept = 4,    // Download: request going out, waiting for 'E' or 'e'
  RxWatchDownload = 5,  // Download, LinkMode 0x30/0x40: watching the box's replies
};

// The Upload destination. Data goes to a temporary file beside the final
// name and replaces it only when the Upload completes, so an earlier file of
// that name survives any failure and no partial data ever stands under it.
class CUploadFile {
 public:
  CUploadFile() = default;
  ~CUploadFile();  // discards an unfinished temporary file
  CUploadFile(const CUploadFile&) = delete;
  CUploadFile& operator=(const CUploadFile&) = delete;

  bool Open(const std::string& finalPath);  // false: nothing could be created
  bool IsOpen() const { return fd_ >= 0; }
  bool Append(const uint8_t* data, int n);  // false: the write failed (full disk, ...)
  bool Commit();                            // flush, then rename over the final name
  void Discard();                           // remove the temporary file, keep the final name untouched

  // Tests: use a named temporary file even where the file system offers an
  // unnamed one (the way taken on file systems without O_TMPFILE).
  static void UseNamedTemporaryForTest(bool named);

 private:
  int fd_ = -1;
  bool unnamed_ = false;  // an O_TMPFILE file: it has no name until Commit
  std::string finalPath_, tempPath_;
};

// The receiver thread's state: exactly one per thread, so a new connection
// starts from scratch. The loop lives in Receiver.cpp; the Download states'
// handlers in RxDownload.cpp, the Upload states' in RxUpload.cpp.
struct CReceiver {
  explicit CReceiver(std::shared_ptr<CLinkSession> session);

  std::shared_ptr<CLinkSession> s;
  CSerialLink& link;
  IFlasherOwner& owner;  // a no-op stand-in when the link has none

  uint8_t rxState = RxListen;
  uint8_t accBuf[256] = {};
  uint8_t accCount = 0;
  int bMismatchSeen = 0;
  uint32_t downloadAcks = 0;  // the box's answers ('K' or 'e') to Download blocks
  uint8_t chunk[1024] = {};

  // Upload
  uint8_t dataBuf[4100] = {};
  int dataFill = 0;
  uint32_t uploadTotal = 0, uploadBlocks = 0, packetLength = 0, uploadDone = 0;
  CUploadFile dest;
  bool bSizeKnown = false;      // the SizeRecord of this Upload has arrived
  uint8_t packetHead[3] = {};   // LinkMode 0x20: the packet's length bytes,
  int packetHeadFill = 0;       // collected across chunks (3: length known)

  // Writes through the connection, one call per write as the protocol needs.
  void WriteBytes(const uint8_t* data, int n) { s->Write(data, n); }
  void WriteByte(uint8_t b) { s->Write(&b, 1); }

  // One handler per state, given a chunk of n bytes (1..1024).
  void OnChunk(const uint8_t* data, int n);
  void OnListen(const uint8_t* data, int n);
  void OnAwaitAccept(const uint8_t* data, int n);
  void OnWatchDownload(const uint8_t* data, int n);
  void OnAwaitSize(const uint8_t* data, int n);
  void OnReceiveData(const uint8_t* data, int n);
  void OnAwaitVerdict(const uint8_t* data, int n);

  // Upload start: counters to 0 (entry to RxAwaitSize).
  void ResetUploadCounters();
  // Upload: the bytes the current block or packet still lacks before there is
  // anything to answer; 0 when no block or packet is arriving.
  int BytesAwaited() const;
};

}  // namespace kelvane
