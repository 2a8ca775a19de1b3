// A stream's callback side: its record queue, its callback thread, and the
// graveyard of callback threads that could not be joined where they were
// stopped. Threads: the link thread pushes, the stream's thread runs, any
// thread retires and reaps.
#include "stream.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

namespace standin {

namespace {

// A callback slower than the camera would otherwise let the queue eat
// memory; past this many waiting records the oldest data record goes.
constexpr size_t kMaxQueuedRecords = 1024;

// Threads that could not be joined where they were stopped, because the
// stopping call ran on that very thread (a callback stopping its own stream).
struct Grave {
    std::thread thread;
    std::shared_ptr<Stream> stream;
};

// The graveyard. Its lock is taken before Stream::m and never together with
// the library's or a login's locks (lock order: login.h). Never destroyed:
// threads left running at exit must not meet a destroyed mutex or a
// joinable std::thread destructor.
struct Graveyard {
    std::mutex m;
    std::vector<Grave> graves;  // guarded by m
};
Graveyard &g_graveyard = *new Graveyard;

}  // namespace

Record status_record(int32_t status, uint32_t code) {
    Record r{NET_SDK_CALLBACK_TYPE_STATUS, 8, {}};
    std::memcpy(r.bytes.data(), &status, 4);
    std::memcpy(r.bytes.data() + 4, &code, 4);
    return r;
}

void Stream::push(const Record &r) {
    std::lock_guard<std::mutex> lk(m);
    if (stopping || finish) return;
    if (queue.size() >= kMaxQueuedRecords) {
        auto oldest = std::find_if(queue.begin(), queue.end(),
                                   [](const Record &q) { return q.type == NET_SDK_CALLBACK_TYPE_DATA; });
        queue.erase(oldest != queue.end() ? oldest : queue.begin());
    }
    queue.push_back(r);
    cv.notify_all();
}

void Stream::end_after_queue() {
    std::lock_guard<std::mutex> lk(m);
    finish = true;
    cv.notify_all();
}

void Stream::run() {
    std::unique_lock<std::mutex> lk(m);
    for (;;) {
        cv.wait(lk, [&] { return stopping || finish || !queue.empty(); });
        if (stopping || queue.empty()) break;
        Record r = queue.front();
        queue.pop_front();
        lk.unlock();
        callback(r.type, r.bytes.data(), r.length, user_data);
        lk.lock();
    }
    queue.clear();
    done = true;
    cv.notify_all();
}

void reap(bool all_of_them) {
    std::vector<Grave> ready;
    {
        std::lock_guard<std::mutex> lk(g_graveyard.m);
        for (auto it = g_graveyard.graves.begin(); it != g_graveyard.graves.end();) {
            bool finished;
            {
                std::lock_guard<std::mutex> slk(it->stream->m);
                finished = it->stream->done;
            }
            if ((finished || all_of_them) && it->thread.get_id() != std::this_thread::get_id()) {
                ready.push_back(std::move(*it));
                it = g_graveyard.graves.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (Grave &gr : ready) gr.thread.join();
}

void retire(const std::shared_ptr<Stream> &s) {
    std::thread t;
    bool own_thread;
    {
        std::unique_lock<std::mutex> lk(s->m);
        s->stopping = true;
        s->cv.notify_all();
        own_thread = s->thread_id == std::this_thread::get_id();
        if (!own_thread) s->cv.wait(lk, [&] { return s->done; });
        t = std::move(s->thread);
    }
    if (!t.joinable()) return;
    if (own_thread) {
        std::lock_guard<std::mutex> lk(g_graveyard.m);
        g_graveyard.graves.push_back({std::move(t), s});
    } else {
        t.join();
    }
}

}  // namespace standin
