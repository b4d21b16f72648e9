// Days of the proleptic Gregorian calendar counted from 1970-01-01 (Howard
// Hinnant's algorithms), for FILETIMEs, DOS dates and disk images alike.
#pragma once

#include <cstdint>

namespace sim {

std::int64_t DaysFromCivil(std::int64_t year, unsigned month, unsigned day);
void CivilFromDays(std::int64_t days, std::int64_t &year, unsigned &month, unsigned &day);

} // namespace sim
