#pragma once
#include <cstdint>

namespace kelvane {

class CLinkSession;
class CSerialLink;
class IFlasherOwner;

// True when the last three of the `count` bytes are a loader announcement
// (marker 0x03 or 0x20, marker 0x04 or 0x10, one of the eight mode bytes);
// then *mode gets the third byte. Only the end of the collection counts: an
// announcement followed by anything else is not found. *mode is left alone
// when nothing is found.
bool FindSignature(int count, const uint8_t* bytes, uint8_t* mode);

// The LinkMode (0x20, 0x30 or 0x40) an announcement with mode byte `mode`
// starts for the selected ImageKind and Direction (0 Download, 1 Upload), or
// 0 when the announcement is to be ignored. A kind outside 0..6 or a direction
// other than 0 and 1 (no selection) ignores every announcement.
uint8_t DecideLinkMode(uint8_t mode, int kind, int direction);

// The area byte of an Upload request for ImageKind `kind`. The firmware kinds
// and KeyData have their own areas; a channel list and a picture use the area
// bytes of their Download descriptors (0x80, 0x10); anything else 0x00.
uint8_t UploadAreaByte(int kind);

// Puts the request letters and the mode descriptor on the wire.
// Upload (upload 1): LinkMode 0x20 'C' 'Z' baudIndex; LinkMode 0x30/0x40 'C'
// 'U' and the 4- or 5-byte descriptor (area byte, then FF FF FF; in 0x40 a
// 00 in front). Download (upload 0): 'C' 'D' in LinkMode 0x30/0x40, then the
// first 4 (0x20, 0x30) or 5 (0x40) bytes of `desc`. Every letter and single
// byte is a write of its own; the descriptor is one write.
void SendHandshake(uint8_t linkMode, int upload, int kind, const uint8_t* desc, CLinkSession& session,
                   int baudIndex);

// The window a worker thread talks to: the link's owner, or a stand-in that
// answers every request with nothing when the link has none.
IFlasherOwner& OwnerOf(CSerialLink& link);

// True while `session` is still the link's open connection or the link is
// closed: a thread that ends must not clear what a later connection uses.
bool SessionIsCurrent(CLinkSession& session);

}  // namespace kelvane
