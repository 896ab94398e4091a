// The local time text that TSID draws its IDs from, read straight from the system clock.
#include "minter/minter.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>

namespace minter {

namespace {

// Floor division, so times before 1970 split into seconds and microseconds as datetime does.
long long floor_div(long long a, long long b) {
    long long q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

}  // namespace

zk::Ref local_time_text() {
    // The same clock, rounding and local-time conversion as datetime.now(), so the text is the one
    // datetime.now().strftime("%y%m%d%H%M%S%f") gives, without building a datetime and parsing a format.
    PyTime_t now;
    zk::check_status(PyTime_Time(&now));
    long long micros = floor_div(now, 1000);
    long long seconds = floor_div(micros, 1000000);
    int fraction = static_cast<int>(micros - seconds * 1000000);
    std::time_t t = static_cast<std::time_t>(seconds);
    std::tm local;
    errno = 0;
    if (!localtime_r(&t, &local)) {
        if (errno == 0) errno = EINVAL;
        zk::check(PyErr_SetFromErrno(PyExc_OSError));
    }
    int year = (local.tm_year + 1900) % 100;
    char text[48];
    int n = std::snprintf(text, sizeof text, "%02d%02d%02d%02d%02d%02d%06d", year, local.tm_mon + 1, local.tm_mday,
                          local.tm_hour, local.tm_min, std::min(59, local.tm_sec), fraction);
    return zk::check(PyUnicode_FromStringAndSize(text, n));
}

}  // namespace minter
