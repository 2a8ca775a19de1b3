// The camera side of end-to-end tests. The program always logs in on port
// 8000, so each camera gets a loopback address of its own, and tests (and
// test processes) running side by side never meet each other's camera.
#ifndef THERMOMETRY_TESTS_CAMERA_H
#define THERMOMETRY_TESTS_CAMERA_H

#include "process.h"

#include <memory>
#include <string>
#include <vector>

namespace testsupport {

// A loopback address 127.A.B.C (A >= 16, clear of 127.0.x.x) derived from the
// process id and a per-process counter: a different one on every call.
std::string next_loopback_address();

// The URL the program is given for a camera at address.
std::string camera_url(const std::string &address);

// camera-sim listening on ADDRESS:8000, started with the given options (see
// camera-sim's usage) and ready: it has said "listening on". An address that
// is taken is skipped for the next one. Throws std::runtime_error when the
// simulator cannot be started.
class CameraSim {
public:
    explicit CameraSim(const std::vector<std::string> &options = {});

    const std::string &address() const { return address_; }
    std::string url() const { return camera_url(address_); }
    Process &process() { return *process_; }
    std::string out() const { return process_->out(); }
    bool wait_for(const std::string &text, Millis timeout, size_t count = 1) const
    {
        return process_->wait_for_output(text, timeout, Stream::out, count);
    }

private:
    std::string address_;
    std::unique_ptr<Process> process_;
};

// A camera that is not there: port 8000 of its address is bound but not
// listening, so a login is refused at once, and no simulator started by
// anyone else can take the address meanwhile.
class AbsentCamera {
public:
    AbsentCamera();
    ~AbsentCamera();
    AbsentCamera(const AbsentCamera &) = delete;
    AbsentCamera &operator=(const AbsentCamera &) = delete;

    const std::string &address() const { return address_; }
    std::string url() const { return camera_url(address_); }

private:
    int fd_ = -1;
    std::string address_;
};

}  // namespace testsupport

#endif  // THERMOMETRY_TESTS_CAMERA_H
