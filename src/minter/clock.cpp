// The local time text that TSID draws its IDs from, read straight from the system clock.
#include "minter/minter.hpp"

#include <algorithm>
#include <cerrno>
#include <ctime>

namespace minter {

namespace {

// Floor division, so times before 1970 split into seconds and microseconds as datetime does.
long long floor_div(long long a, long long b) {
    long long q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// Writes `value` (not negative) as exactly `width` decimal digits, zero-padded.
void put_digits(char* out, int value, int width) {
    for (int i = width - 1; i >= 0; i--) {
        out[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
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
    // Written digit by digit: the text is on the path of every TSID, and snprintf costs more than the clock.
    char text[18];
    put_digits(text, (local.tm_year + 1900) % 100, 2);
    put_digits(text + 2, local.tm_mon + 1, 2);
    put_digits(text + 4, local.tm_mday, 2);
    put_digits(text + 6, local.tm_hour, 2);
    put_digits(text + 8, local.tm_min, 2);
    put_digits(text + 10, std::min(59, local.tm_sec), 2);  // a leap second reads as 59, as in datetime
    put_digits(text + 12, fraction, 6);
    return zk::check(PyUnicode_FromStringAndSize(text, sizeof text));
}

}  // namespace minter
