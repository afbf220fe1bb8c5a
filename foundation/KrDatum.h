#pragma once
// The date and time value: whole seconds since the epoch with the matching
// broken-down local time, a sub-second count, a validity flag and the
// outcome of the last text setter. Calendar work is done on dates taken at
// noon through the C library's local time zone. Copyable; not thread-safe.

#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <vector>

// Tag of the constructor that makes a datum without a value.
struct KrDatumUnset_t {};
inline constexpr KrDatumUnset_t KR_DATUM_UNSET{};

struct KrDatumPeriod {
    KrDatumPeriod(int days = 0, int months = 0, int years = 0)
        : days(days), months(months), years(years) {}
    KrDatumPeriod& operator*=(int factor);
    KrDatumPeriod operator*(unsigned int factor) const;

    int days;
    int months;
    int years;
};

class KrDatum {
  public:
    // Now, cut to whole seconds, valid.
    KrDatum();
    // Now, without a value (validity 0).
    explicit KrDatum(KrDatumUnset_t);
    explicit KrDatum(time_t seconds);
    // 12:00 (as daylight-saving time) of that day; day -1 is the month's last day.
    KrDatum(int day, unsigned int month, int year);
    // Parsed text; std::invalid_argument / std::out_of_range propagate.
    explicit KrDatum(const std::string& text);
    explicit KrDatum(const char* text);
    // Copies every field but the parse outcome, which starts false.
    KrDatum(const KrDatum& other);
    KrDatum& operator=(const KrDatum& other);
    virtual ~KrDatum();

    // parse(); parseOk() tells whether it succeeded (errors are swallowed).
    virtual void setFromString(const std::string& text);
    virtual void setFromCString(const char* text);
    // Reads "5.3.2024", "5/3/24", "2024-03-05", "5.3" (this year) or the
    // three-number form "seconds subSecond validity". Throws
    // std::invalid_argument or std::out_of_range for unreadable numbers.
    void parse(const std::string& text);
    // "seconds subSecond validity", the form parse() reads back.
    std::string toThreeNumberString() const;

    time_t seconds() const { return _seconds; }
    int64_t subSecond() const { return _subSecond; }
    int validity() const { return _set; }
    bool parseOk() const { return _parseOk; }
    const struct tm& local() const { return _local; }
    int day() const { return _local.tm_mday; }
    int month() const { return _local.tm_mon + 1; }
    int year() const { return _local.tm_year + 1900; }
    int weekDay() const { return _local.tm_wday; }
    int weekOfYear() const { return _local.tm_yday / 7; }
    // Gregorian rule; year 0 means this datum's year.
    bool isLeapYear(int year = 0) const;
    bool isUnset() const { return _set == 0; }
    void setSet(bool set) { _set = set ? 1 : 0; }

    time_t noonSeconds() const;
    // Whole days from `other` to this date (negative when this one is earlier).
    int64_t daysSince(const KrDatum& other) const;
    int64_t daysSince(const KrDatum* other) const;
    // Nanoseconds since the epoch of the start of the minute `minutes` from now.
    int64_t wholeMinuteAfter(uint64_t minutes) const;

    // Compare the calendar day only.
    bool operator<(const KrDatum& other) const;
    bool operator>(const KrDatum& other) const;
    bool operator==(const KrDatum& other) const;
    bool operator<=(const KrDatum& other) const;
    bool operator>=(const KrDatum& other) const;

    void setTime(const time_t& seconds, const int64_t& subSecond);
    void toFirstOfMonth();
    // Sets only the day field of the broken-down time; nothing is recomputed.
    void setFirstOfMonthField();
    void toLastOfMonth();
    KrDatum& operator+=(const KrDatumPeriod& period);
    KrDatum& operator-=(const KrDatumPeriod& period);
    KrDatum& operator++();
    KrDatum operator++(int);
    KrDatum& operator--();
    KrDatum operator--(int);

    // "2024-03-05 09:07:03"
    std::string toString() const;
    // "2024-03-05"
    std::string toDateString() const;
    void printDate() const;
    void dump() const;

  protected:
    // Recomputes the seconds from the broken-down time and refreshes it.
    void _normalise();
    void _setNow();

    time_t _seconds;
    int64_t _subSecond;
    struct tm _local;
    int _set;
    bool _parseOk;

    friend struct KrDatumRange;
};

KrDatum operator+(const KrDatum& datum, const KrDatumPeriod& period);

struct KrDatumRange {
    // Copies both dates whole, parse outcomes included.
    KrDatumRange(const KrDatum& from, const KrDatum& to, int step1, int step2, int step3,
                 int extra);
    KrDatumRange(const KrDatumRange& other);
    KrDatumRange& operator=(const KrDatumRange& other);
    void set(int step1, int step2, int step3, int extra);

    KrDatum from;
    KrDatum to;
    int zeroStep;
    int step1;
    int step2;
    int step3;
    int extra;
};

// Month names and connector words for "pt-br", "de-de" and "en-us"; any other
// language code falls back to "en-us".
class KrDatumLanguageTables {
  public:
    KrDatumLanguageTables();
    // month 0 counts as 1, above 12 as 12.
    std::string monthName(uint64_t month, std::string language) const;
    // "5 de março de 2024", "5. März 2024", "5 of March of 2024".
    std::string toLocalizedString(const KrDatum& datum, std::string language) const;

    std::map<std::string, std::string> monthNames;
    std::map<std::string, std::vector<std::string>> connectors;
};
