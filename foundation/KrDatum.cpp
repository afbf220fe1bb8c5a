#include "foundation/KrDatum.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <stdexcept>
#include <tuple>

#include "foundation/KrFileUtils.h"
#include "foundation/KrStringSplit.h"

namespace {

bool IsLeap(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

// Month 1 to 12; months outside count as 31-day months.
int DaysInMonth(int month, int year) {
    switch (month) {
        case 4:
        case 6:
        case 9:
        case 11:
            return 30;
        case 2:
            return IsLeap(year) ? 29 : 28;
        default:
            return 31;
    }
}

// Noon of a day, given to mktime as daylight-saving time: on a day of
// standard time it comes back one zone step earlier (11:00 in Berlin).
struct tm NoonOf(int day, int month0, int year) {
    struct tm noon {};
    noon.tm_sec = 0;
    noon.tm_min = 0;
    noon.tm_hour = 12;
    noon.tm_mday = day;
    noon.tm_mon = month0;
    noon.tm_year = year - 1900;
    noon.tm_wday = -1;
    noon.tm_yday = -1;
    noon.tm_isdst = 1;
    return noon;
}

time_t NowWholeSeconds() {
    return std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
}

int ReadInt(const std::string& piece) {
    return static_cast<int>(std::stoul(piece, nullptr, 10));
}

}  // namespace

KrDatumPeriod& KrDatumPeriod::operator*=(int factor) {
    days *= factor;
    months *= factor;
    years *= factor;
    return *this;
}

KrDatumPeriod KrDatumPeriod::operator*(unsigned int factor) const {
    KrDatumPeriod result = *this;
    result *= static_cast<int>(factor);
    return result;
}

KrDatum::KrDatum() : _seconds(0), _subSecond(0), _local(), _set(1), _parseOk(false) {
    _setNow();
}

KrDatum::KrDatum(KrDatumUnset_t) : _seconds(0), _subSecond(0), _local(), _set(0), _parseOk(false) {
    _setNow();
}

KrDatum::KrDatum(time_t seconds)
    : _seconds(seconds), _subSecond(0), _local(), _set(1), _parseOk(false) {
    LocalTime(&_local, &_seconds);
}

KrDatum::KrDatum(int day, unsigned int month, int year)
    : _seconds(0), _subSecond(0), _local(), _set(1), _parseOk(false) {
    if (day == -1)
        day = DaysInMonth(static_cast<int>(month), year);
    _local = NoonOf(day, static_cast<int>(month) - 1, year);
    _seconds = mktime(&_local);
}

KrDatum::KrDatum(const std::string& text)
    : _seconds(0), _subSecond(0), _local(), _set(0), _parseOk(false) {
    parse(std::string(text.c_str()));
    _set = 1;
}

KrDatum::KrDatum(const char* text)
    : _seconds(0), _subSecond(0), _local(), _set(0), _parseOk(false) {
    parse(text != nullptr ? std::string(text) : std::string());
    _set = 1;
}

KrDatum::KrDatum(const KrDatum& other)
    : _seconds(other._seconds),
      _subSecond(other._subSecond),
      _local(other._local),
      _set(other._set),
      _parseOk(false) {}

KrDatum& KrDatum::operator=(const KrDatum& other) {
    _seconds = other._seconds;
    _subSecond = other._subSecond;
    _local = other._local;
    _set = other._set;
    _parseOk = false;
    return *this;
}

KrDatum::~KrDatum() = default;

void KrDatum::_setNow() {
    _seconds = NowWholeSeconds();
    _subSecond = 0;
    LocalTime(&_local, &_seconds);
}

void KrDatum::_normalise() {
    // The zone decides whether the edited day is on daylight-saving time;
    // keeping the old flag would move the clock by an hour and, near
    // midnight, the date by a day.
    _local.tm_isdst = -1;
    _seconds = mktime(&_local);
    LocalTime(&_local, &_seconds);
    _subSecond = 0;
}

void KrDatum::setFromString(const std::string& text) {
    try {
        parse(std::string(text.c_str()));
        _parseOk = true;
    } catch (const std::logic_error&) {
        _parseOk = false;
    }
}

void KrDatum::setFromCString(const char* text) {
    if (text == nullptr) {
        _parseOk = false;
        return;
    }
    setFromString(std::string(text));
}

void KrDatum::parse(const std::string& text) {
    const std::vector<std::string> dots = SplitString(text, ".", false);
    const std::vector<std::string> slashes = SplitString(text, "/", false);
    const std::vector<std::string> hyphens = SplitString(text, "-", false);
    const std::vector<std::string> blanks = SplitString(text, " ", false);

    // The three-number form of a time before 1970 starts with "-"; that sign
    // is not a date separator.
    const bool signedFirst = !text.empty() && text[0] == '-';
    const size_t innerHyphens =
        signedFirst ? SplitString(text.substr(1), "-", false).size() : hyphens.size();
    if (blanks.size() > 1 && dots.size() == 1 && slashes.size() == 1 && innerHyphens == 1) {
        _seconds = static_cast<time_t>(std::stoll(blanks[0], nullptr, 10));
        LocalTime(&_local, &_seconds);
        _subSecond = static_cast<int64_t>(std::stoull(blanks[1], nullptr, 10));
        _set = blanks.size() > 2 ? ReadInt(blanks[2]) : 1;
        return;
    }

    const std::vector<std::string>* pieces = nullptr;
    if (dots.size() != 1) {
        pieces = &dots;
    } else if (slashes.size() != 1) {
        pieces = &slashes;
    } else if (hyphens.size() != 1) {
        pieces = &hyphens;
    } else {
        _setNow();
        return;
    }

    const int a = ReadInt(pieces->size() > 0 ? (*pieces)[0] : std::string());
    const int b = ReadInt(pieces->size() > 1 ? (*pieces)[1] : std::string());
    int day = a < 1 ? 1 : (a > 31 ? 31 : a);
    const int month = b < 1 ? 1 : (b > 12 ? 12 : b);
    int year = 0;
    if (pieces->size() > 2 && !(*pieces)[2].empty()) {
        const int c = ReadInt((*pieces)[2]);
        if (a > 31 && c <= 31) {
            day = c < 1 ? 1 : c;
            year = a;
        } else {
            year = c;
        }
    } else {
        _setNow();
        year = _local.tm_year + 1900;
    }
    if (year >= 0 && year < 50) {
        year += 2000;
    } else if (year >= 50 && year < 100) {
        year += 1900;
    }
    struct tm noon = NoonOf(day, month - 1, year);
    _seconds = mktime(&noon);
    _subSecond = 0;
    LocalTime(&_local, &_seconds);
}

std::string KrDatum::toThreeNumberString() const {
    return std::to_string(static_cast<long long>(_seconds)) + " " + std::to_string(_subSecond) +
           " " + std::to_string(_set);
}

bool KrDatum::isLeapYear(int year) const {
    return IsLeap(year == 0 ? this->year() : year);
}

time_t KrDatum::noonSeconds() const {
    struct tm noon = NoonOf(_local.tm_mday, _local.tm_mon, _local.tm_year + 1900);
    return mktime(&noon);
}

int64_t KrDatum::daysSince(const KrDatum& other) const {
    return static_cast<int64_t>(noonSeconds() - other.noonSeconds()) / 86400;
}

int64_t KrDatum::daysSince(const KrDatum* other) const {
    return daysSince(*other);
}

int64_t KrDatum::wholeMinuteAfter(uint64_t minutes) const {
    const time_t later = _seconds + static_cast<time_t>(minutes * 60);
    struct tm local {};
    LocalTime(&local, &later);
    local.tm_sec = 0;
    return static_cast<int64_t>(mktime(&local)) * 1000000000;
}

bool KrDatum::operator<(const KrDatum& other) const {
    return std::make_tuple(year(), month(), day()) <
           std::make_tuple(other.year(), other.month(), other.day());
}

bool KrDatum::operator>(const KrDatum& other) const {
    return other < *this;
}

bool KrDatum::operator==(const KrDatum& other) const {
    return year() == other.year() && month() == other.month() && day() == other.day();
}

bool KrDatum::operator<=(const KrDatum& other) const {
    return !(other < *this);
}

bool KrDatum::operator>=(const KrDatum& other) const {
    return !(*this < other);
}

void KrDatum::setTime(const time_t& seconds, const int64_t& subSecond) {
    _seconds = seconds;
    LocalTime(&_local, &_seconds);
    _subSecond = subSecond;
}

void KrDatum::toFirstOfMonth() {
    _local.tm_mday = 1;
    _normalise();
}

void KrDatum::setFirstOfMonthField() {
    _local.tm_mday = 1;
}

void KrDatum::toLastOfMonth() {
    _local.tm_mday = DaysInMonth(month(), year());
    _normalise();
}

KrDatum& KrDatum::operator+=(const KrDatumPeriod& period) {
    if (period.days != 0 || _local.tm_mday < 29) {
        _local.tm_mday += period.days;
        _local.tm_mon += period.months;
        _local.tm_year += period.years;
    } else {
        // A whole-month step from the 29th to 31st stays in the target month.
        int month0 = _local.tm_mon + period.months % 12;
        int yearStep = period.months / 12 + period.years;
        if (month0 > 11) {
            month0 -= 12;
            ++yearStep;
        } else if (month0 < 0) {
            month0 += 12;
            --yearStep;
        }
        _local.tm_mon = month0;
        _local.tm_year += yearStep;
        const int last = DaysInMonth(month0 + 1, _local.tm_year + 1900);
        if (_local.tm_mday > last)
            _local.tm_mday = last;
    }
    _normalise();
    return *this;
}

KrDatum& KrDatum::operator-=(const KrDatumPeriod& period) {
    return *this += KrDatumPeriod(-period.days, -period.months, -period.years);
}

KrDatum operator+(const KrDatum& datum, const KrDatumPeriod& period) {
    KrDatum result = datum;
    result += period;
    return result;
}

KrDatum& KrDatum::operator++() {
    ++_local.tm_mday;
    _normalise();
    return *this;
}

KrDatum KrDatum::operator++(int) {
    KrDatum before = *this;
    ++*this;
    return before;
}

KrDatum& KrDatum::operator--() {
    --_local.tm_mday;
    _normalise();
    return *this;
}

KrDatum KrDatum::operator--(int) {
    KrDatum before = *this;
    --*this;
    return before;
}

std::string KrDatum::toString() const {
    char text[80];
    std::snprintf(text, sizeof text, "%d-%02d-%02d %02d:%02d:%02d", year(), month(), day(),
                  _local.tm_hour, _local.tm_min, _local.tm_sec);
    return text;
}

std::string KrDatum::toDateString() const {
    char text[48];
    std::snprintf(text, sizeof text, "%d-%02d-%02d", year(), month(), day());
    return text;
}

void KrDatum::printDate() const {
    std::cout << toDateString() << std::endl;
}

void KrDatum::dump() const {
    std::cout << _seconds << "   " << _subSecond << "   " << 8 << "\n";
    std::cout << _local.tm_sec << "   " << _local.tm_min << "   " << _local.tm_hour << "   "
              << _local.tm_mday << "   " << _local.tm_mon << "   " << _local.tm_year << "   "
              << _local.tm_wday << "   " << _local.tm_yday << "   " << _local.tm_yday / 7 << "\n";
    printDate();
}

KrDatumRange::KrDatumRange(const KrDatum& from, const KrDatum& to, int step1, int step2, int step3,
                           int extra)
    : from(from), to(to), zeroStep(0), step1(0), step2(0), step3(0), extra(0) {
    this->from._parseOk = from._parseOk;
    this->to._parseOk = to._parseOk;
    set(step1, step2, step3, extra);
}

KrDatumRange::KrDatumRange(const KrDatumRange& other)
    : from(other.from),
      to(other.to),
      zeroStep(other.zeroStep),
      step1(other.step1),
      step2(other.step2),
      step3(other.step3),
      extra(other.extra) {
    from._parseOk = other.from._parseOk;
    to._parseOk = other.to._parseOk;
}

KrDatumRange& KrDatumRange::operator=(const KrDatumRange& other) {
    from = other.from;
    to = other.to;
    from._parseOk = other.from._parseOk;
    to._parseOk = other.to._parseOk;
    zeroStep = other.zeroStep;
    step1 = other.step1;
    step2 = other.step2;
    step3 = other.step3;
    extra = other.extra;
    return *this;
}

void KrDatumRange::set(int step1, int step2, int step3, int extra) {
    this->step1 = step1;
    this->step2 = step2;
    this->step3 = step3;
    this->extra = extra;
    zeroStep = step1 == 0 && step2 == 0 && step3 == 0;
}

KrDatumLanguageTables::KrDatumLanguageTables() {
    monthNames["pt-br"] =
        "janeiro,fevereiro,março,abril,maio,junho,julho,agosto,setembro,outubro,novembro,dezembro";
    monthNames["de-de"] =
        "Januar,Februar,März,April,Mai,Juni,Juli,August,September,Oktober,November,Dezember";
    monthNames["en-us"] =
        "January,February,March,April,May,June,July,August,September,October,November,December";
    connectors["pt-br"] = {" de ", " de "};
    connectors["de-de"] = {". ", " "};
    connectors["en-us"] = {" of ", " of "};
}

std::string KrDatumLanguageTables::monthName(uint64_t month, std::string language) const {
    if (month == 0)
        month = 1;
    if (month > 12)
        month = 12;
    auto names = monthNames.find(language);
    if (names == monthNames.end())
        names = monthNames.find("en-us");
    if (names == monthNames.end())
        return "";
    const std::vector<std::string> list = SplitString(names->second, ",", false);
    if (list.empty())
        return "";
    return list[std::min<uint64_t>(month, list.size()) - 1];
}

std::string KrDatumLanguageTables::toLocalizedString(const KrDatum& datum,
                                                     std::string language) const {
    if (monthNames.find(language) == monthNames.end())
        language = "en-us";
    const auto words = connectors.find(language);
    const std::string first =
        words != connectors.end() && words->second.size() > 0 ? words->second[0] : std::string(" ");
    const std::string second =
        words != connectors.end() && words->second.size() > 1 ? words->second[1] : std::string(" ");
    return std::to_string(datum.day()) + first +
           monthName(static_cast<uint64_t>(datum.month()), language) + second +
           std::to_string(datum.year());
}
