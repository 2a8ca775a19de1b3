// A stream's callback side: the record queue the link thread fills, the
// callback thread that alone calls the user's callback from it (holding no
// lock), and ending those threads (retire, reap) from any thread.
#ifndef STANDIN_STREAM_H
#define STANDIN_STREAM_H

#include "camera_wire.h"
#include "hcnetsdk.h"

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

namespace standin {

// One callback: its type, its length and the bytes handed over.
struct Record {
    uint32_t type;
    uint32_t length;
    std::array<uint8_t, camwire::kRecordSize> bytes;
};

// A status record of (status, code), laid out as the callback receives it.
Record status_record(int32_t status, uint32_t code);

struct Login;

struct Stream {
    int32_t handle = 0;
    int32_t user_id = 0;
    int32_t channel = 0;
    NET_DVR_RemoteConfigCallback callback = nullptr;
    void *user_data = nullptr;
    std::weak_ptr<Login> login;

    // Guards the fields below; taken after Login::send_m (lock order: login.h).
    std::mutex m;
    std::condition_variable cv;
    std::deque<Record> queue;
    bool stopping = false;  // no callback may start any more
    bool finish = false;    // the stream ended: deliver what is queued, then end
    bool done = false;      // the callback thread will call nothing more
    std::thread thread;
    std::thread::id thread_id;

    // Queues a record for the callback; past a bound, the oldest data
    // record goes. Ignored once the stream stops or finishes.
    void push(const Record &r);
    // Lets the callback thread deliver what is queued, then end.
    void end_after_queue();
    // The callback thread's body.
    void run();
};

// Ends a stream's callbacks: when this returns no callback of it runs any
// more, unless the caller is that callback itself, whose thread then ends
// once it returns. Safe to call any number of times from any thread.
void retire(const std::shared_ptr<Stream> &s);

// Joins retired threads that have finished; with all_of_them, waits for the
// others too (save the calling thread's own, which cannot be joined).
void reap(bool all_of_them);

}  // namespace standin

#endif  // STANDIN_STREAM_H
