// The camera link's wire format (sdk/PROTOCOL.md), shared by the stand-in
// SDK, the camera simulator and their tests so the three cannot drift apart.
// Header-only and free of any state.
#ifndef CAMERA_WIRE_H
#define CAMERA_WIRE_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace camwire {

constexpr uint32_t kMagic = 0x54434D31u;  // "TCM1"
constexpr size_t kHeaderSize = 12;
// Nothing legitimate comes near this; anything larger is a broken or hostile
// peer, and refusing it keeps a bogus length field from costing memory.
constexpr uint32_t kMaxPayload = 4096;
constexpr size_t kMaxNameLength = 255;

enum MsgType : uint16_t {
    kLogin = 0x0001,
    kLogout = 0x0002,
    kStartStream = 0x0003,
    kStopStream = 0x0004,
    kPing = 0x0005,
    kAnswer = 0x0081,
    kStatus = 0x0082,
    kData = 0x0083,
    kFeatures = 0x0084,
};

// Bits of a FEATURES message: what the camera understands beyond the
// original messages.
constexpr uint32_t kFeatureHeartbeat = 1u;  // it answers PING

constexpr uint32_t kThermometryCommand = 3629;
constexpr size_t kRecordSize = 440;
constexpr size_t kRecordFlagOffset = 45;
constexpr size_t kRecordTempOffset = 180;

// Answer codes a camera uses; any other value is passed through unchanged.
constexpr uint32_t kOk = 0;
constexpr uint32_t kWrongPassword = 1;
constexpr uint32_t kNoSuchChannel = 4;
constexpr uint32_t kBadRequest = 17;

// ---- byte order ------------------------------------------------------------

inline void put_u16(std::vector<uint8_t> &out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}

inline void put_u32(std::vector<uint8_t> &out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v >> 24));
    out.push_back(static_cast<uint8_t>(v >> 16));
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}

inline uint16_t get_u16(const uint8_t *p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

inline uint32_t get_u32(const uint8_t *p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

// The record's temperature travels little-endian, as the camera lays it out.
inline void put_le_float(uint8_t *p, float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(bits >> (8 * i));
}

inline float get_le_float(const uint8_t *p) {
    uint32_t bits = uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// ---- frames ----------------------------------------------------------------

inline std::vector<uint8_t> frame(uint16_t type, const std::vector<uint8_t> &payload) {
    std::vector<uint8_t> out;
    out.reserve(kHeaderSize + payload.size());
    put_u32(out, kMagic);
    put_u16(out, type);
    put_u16(out, 0);
    put_u32(out, static_cast<uint32_t>(payload.size()));
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

struct Frame {
    uint16_t type = 0;
    std::vector<uint8_t> payload;
};

// Collects bytes as they arrive and cuts them into frames. It never holds
// more than one partial frame plus what was last fed, so a peer cannot make
// it grow without bound.
class FrameReader {
public:
    enum Result { kNeedMore, kFrame, kMalformed };

    void feed(const uint8_t *data, size_t length) { buffer_.insert(buffer_.end(), data, data + length); }

    Result next(Frame &out) {
        size_t avail = buffer_.size() - start_;
        if (avail < kHeaderSize) {
            compact();
            return kNeedMore;
        }
        const uint8_t *h = buffer_.data() + start_;
        uint32_t length = get_u32(h + 8);
        if (get_u32(h) != kMagic || get_u16(h + 6) != 0 || length > kMaxPayload) return kMalformed;
        if (avail < kHeaderSize + length) {
            compact();
            return kNeedMore;
        }
        out.type = get_u16(h + 4);
        out.payload.assign(h + kHeaderSize, h + kHeaderSize + length);
        start_ += kHeaderSize + length;
        return kFrame;
    }

    size_t buffered() const { return buffer_.size() - start_; }

private:
    void compact() {
        if (start_ == 0) return;
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
        start_ = 0;
    }

    std::vector<uint8_t> buffer_;
    size_t start_ = 0;
};

// ---- messages --------------------------------------------------------------

inline std::vector<uint8_t> login_request(uint32_t seq, const std::string &user, const std::string &password) {
    std::vector<uint8_t> p;
    put_u32(p, seq);
    put_u16(p, static_cast<uint16_t>(user.size()));
    p.insert(p.end(), user.begin(), user.end());
    put_u16(p, static_cast<uint16_t>(password.size()));
    p.insert(p.end(), password.begin(), password.end());
    return frame(kLogin, p);
}

// Splits a login payload; false when its lengths do not add up.
inline bool parse_login(const std::vector<uint8_t> &p, uint32_t &seq, std::string &user, std::string &password) {
    if (p.size() < 8) return false;
    seq = get_u32(p.data());
    size_t ulen = get_u16(p.data() + 4);
    if (ulen > kMaxNameLength || p.size() < 6 + ulen + 2) return false;
    user.assign(p.begin() + 6, p.begin() + 6 + static_cast<std::ptrdiff_t>(ulen));
    size_t off = 6 + ulen;
    size_t plen = get_u16(p.data() + off);
    off += 2;
    if (plen > kMaxNameLength || p.size() != off + plen) return false;
    password.assign(p.begin() + static_cast<std::ptrdiff_t>(off), p.end());
    return true;
}

inline std::vector<uint8_t> logout_request(uint32_t seq) {
    std::vector<uint8_t> p;
    put_u32(p, seq);
    return frame(kLogout, p);
}

inline std::vector<uint8_t> start_request(uint32_t seq, uint32_t stream, uint32_t command, int32_t channel) {
    std::vector<uint8_t> p;
    put_u32(p, seq);
    put_u32(p, stream);
    put_u32(p, command);
    put_u32(p, static_cast<uint32_t>(channel));
    return frame(kStartStream, p);
}

inline std::vector<uint8_t> stop_request(uint32_t seq, uint32_t stream) {
    std::vector<uint8_t> p;
    put_u32(p, seq);
    put_u32(p, stream);
    return frame(kStopStream, p);
}

inline std::vector<uint8_t> ping_request(uint32_t seq) {
    std::vector<uint8_t> p;
    put_u32(p, seq);
    return frame(kPing, p);
}

inline std::vector<uint8_t> features(uint32_t bits) {
    std::vector<uint8_t> p;
    put_u32(p, bits);
    return frame(kFeatures, p);
}

inline std::vector<uint8_t> answer(uint32_t seq, uint32_t code) {
    std::vector<uint8_t> p;
    put_u32(p, seq);
    put_u32(p, code);
    return frame(kAnswer, p);
}

inline std::vector<uint8_t> status(uint32_t stream, int32_t value, uint32_t code) {
    std::vector<uint8_t> p;
    put_u32(p, stream);
    put_u32(p, static_cast<uint32_t>(value));
    put_u32(p, code);
    return frame(kStatus, p);
}

inline std::vector<uint8_t> data(uint32_t stream, const uint8_t (&record)[kRecordSize]) {
    std::vector<uint8_t> p;
    p.reserve(4 + kRecordSize);
    put_u32(p, stream);
    p.insert(p.end(), record, record + kRecordSize);
    return frame(kData, p);
}

// Payload sizes of the fixed-size messages; a frame of one of these types
// with any other size is malformed.
constexpr size_t kLogoutSize = 4;
constexpr size_t kStartSize = 16;
constexpr size_t kStopSize = 8;
constexpr size_t kPingSize = 4;
constexpr size_t kFeaturesSize = 4;
constexpr size_t kAnswerSize = 8;
constexpr size_t kStatusSize = 12;
constexpr size_t kDataSize = 4 + kRecordSize;

}  // namespace camwire

#endif  // CAMERA_WIRE_H
