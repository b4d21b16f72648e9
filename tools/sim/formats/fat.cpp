#include "fat.h"

#include "platform/sim/calendar.h"

#include <algorithm>
#include <limits>

namespace simio::fat::detail {

namespace {

using sim::CivilFromDays;
using sim::DaysFromCivil;

unsigned DaysIn(std::int64_t year, unsigned month) {
    static const unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

const std::time_t kDosEpoch = 315532800; // 1980-01-01 00:00:00

} // namespace

std::uint32_t Get(std::string_view bytes, std::size_t at, std::size_t size) {
    std::uint32_t v = 0;
    for (std::size_t i = size; i-- > 0;)
        v = (v << 8) | static_cast<std::uint8_t>(bytes[at + i]);
    return v;
}

std::uint32_t Get(std::string_view bytes, layout::Field field) {
    return Get(bytes, field.at, field.size);
}

void Put(std::string &bytes, std::size_t at, std::size_t size, std::uint32_t value) {
    for (std::size_t i = 0; i < size; ++i)
        bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

void Put(std::string &bytes, layout::Field field, std::uint32_t value) {
    Put(bytes, field.at, field.size, value);
}

std::time_t FromDos(std::uint16_t date, std::uint16_t time) {
    std::int64_t year = 1980 + (date >> 9);
    unsigned month = (date >> 5) & 15, day = date & 31;
    unsigned hour = time >> 11, minute = (time >> 5) & 63, second = (time & 31) * 2;
    if (month < 1 || month > 12 || day < 1 || day > DaysIn(year, month) || hour > 23 ||
        minute > 59 || second > 59)
        return kDosEpoch;
    std::int64_t t = DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
    // A 32-bit time_t ends in 2038.
    return static_cast<std::time_t>(
        std::min<std::int64_t>(t, std::numeric_limits<std::time_t>::max()));
}

void ToDos(std::time_t when, std::uint16_t &date, std::uint16_t &time) {
    // DOS dates run from 1980 to 2107; 64 bits, since time_t may have 32.
    const std::int64_t last = DaysFromCivil(2107, 12, 31) * 86400 + 86398;
    std::int64_t t =
        std::min(std::max(static_cast<std::int64_t>(when), std::int64_t{kDosEpoch}), last);
    std::int64_t days = t / 86400, seconds = t % 86400, year;
    unsigned month, day;
    CivilFromDays(days, year, month, day);
    date = static_cast<std::uint16_t>(((year - 1980) << 9) | (month << 5) | day);
    time = static_cast<std::uint16_t>(((seconds / 3600) << 11) | (((seconds / 60) % 60) << 5) |
                                      ((seconds % 60) / 2));
}

std::uint8_t ShortNameSum(const std::uint8_t *name11) {
    std::uint8_t sum = 0;
    for (int i = 0; i < 11; ++i)
        sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) + name11[i]);
    return sum;
}

} // namespace simio::fat::detail
