#include "foundation/KrDatum.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <stdexcept>

namespace {

// Runs each test under one time zone and restores the process's zone after.
class KrDatumZone : public testing::TestWithParam<const char*> {
  protected:
    void SetUp() override {
        const char* old = std::getenv("TZ");
        _had = old != nullptr;
        if (_had)
            _old = old;
        setenv("TZ", GetParam(), 1);
        tzset();
    }
    void TearDown() override {
        if (_had) {
            setenv("TZ", _old.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    bool Berlin() const { return std::string(GetParam()) == "Europe/Berlin"; }

    // Local wall-clock time to seconds, letting the zone pick the offset.
    static time_t Local(int year, int month, int day, int hour, int minute, int second) {
        struct tm t {};
        t.tm_year = year - 1900;
        t.tm_mon = month - 1;
        t.tm_mday = day;
        t.tm_hour = hour;
        t.tm_min = minute;
        t.tm_sec = second;
        t.tm_isdst = -1;
        return mktime(&t);
    }

    static int CurrentYear() {
        const time_t now = time(nullptr);
        struct tm t {};
        localtime_r(&now, &t);
        return t.tm_year + 1900;
    }

  private:
    bool _had = false;
    std::string _old;
};

void ExpectDate(const KrDatum& datum, int year, int month, int day) {
    EXPECT_EQ(datum.year(), year);
    EXPECT_EQ(datum.month(), month);
    EXPECT_EQ(datum.day(), day);
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(Zones, KrDatumZone, testing::Values("UTC", "Europe/Berlin"),
                         [](const auto& info) {
                             return std::string(info.param) == "UTC" ? "UTC" : "Berlin";
                         });

TEST_P(KrDatumZone, ParsesTheUserDateForms) {
    // Noon taken as daylight-saving time comes back as 11:00 on a day of
    // standard time, and UTC is always on standard time.
    const std::string noon = " 11:00:00";
    for (const char* text :
         {"05.03.2024", "5/3/2024", "05-03-2024", "2024-03-05", "2024-03-05 10:20:30"}) {
        const KrDatum datum{std::string(text)};
        EXPECT_EQ(datum.toString(), "2024-03-05" + noon) << text;
        EXPECT_FALSE(datum.isUnset());
    }
    ExpectDate(KrDatum("5.3"), CurrentYear(), 3, 5);
    ExpectDate(KrDatum("5.3.24"), 2024, 3, 5);
    ExpectDate(KrDatum("5.3.49"), 2049, 3, 5);
    ExpectDate(KrDatum("5.3.50"), 1950, 3, 5);
    ExpectDate(KrDatum("5.3.75"), 1975, 3, 5);
    ExpectDate(KrDatum("40.13.2024"), 2024, 12, 31);
    ExpectDate(KrDatum("0.0.2024"), 2024, 1, 1);
    ExpectDate(KrDatum("31.2.2023"), 2023, 3, 3);
    ExpectDate(KrDatum("2024-07-00"), 2024, 7, 1);
    EXPECT_EQ(KrDatum("5.7.2024").toString(),
              Berlin() ? "2024-07-05 12:00:00" : "2024-07-05 11:00:00");
}

TEST_P(KrDatumZone, TextsWithoutSeparatorGiveNow) {
    // time() reads a coarse clock that may lag the one KrDatum uses, so the
    // bounds come from the same clock as the value.
    const auto now = [] { return std::chrono::system_clock::to_time_t(std::chrono::system_clock::now()); };
    const time_t before = now();
    const KrDatum datum("20240305");
    EXPECT_GE(datum.seconds(), before);
    EXPECT_LE(datum.seconds(), now());
}

TEST_P(KrDatumZone, UnreadableNumbersThrowOrClearParseOk) {
    EXPECT_THROW(KrDatum(""), std::invalid_argument);
    EXPECT_THROW(KrDatum(".5"), std::invalid_argument);
    EXPECT_THROW(KrDatum("5.x.2024"), std::invalid_argument);
    EXPECT_THROW(KrDatum("99999999999999999999.1.2024"), std::out_of_range);
    EXPECT_THROW(KrDatum("abc 1"), std::invalid_argument);
    EXPECT_THROW(KrDatum(static_cast<const char*>(nullptr)), std::invalid_argument);

    KrDatum datum(5, 3, 2024);
    EXPECT_FALSE(datum.parseOk());
    datum.setFromString("6.3.2024");
    EXPECT_TRUE(datum.parseOk());
    datum.setFromString(".5");
    EXPECT_FALSE(datum.parseOk());
    ExpectDate(datum, 2024, 3, 6);
    datum.setFromCString("7.3.2024");
    EXPECT_TRUE(datum.parseOk());
    datum.setFromCString(nullptr);
    EXPECT_FALSE(datum.parseOk());
    ExpectDate(datum, 2024, 3, 7);
}

TEST_P(KrDatumZone, ReadsTheThreeNumberForm) {
    KrDatum datum(1, 1, 2000);
    datum.setFromString("1709640000 123");
    EXPECT_TRUE(datum.parseOk());
    EXPECT_EQ(datum.seconds(), 1709640000);
    EXPECT_EQ(datum.subSecond(), 123);
    EXPECT_EQ(datum.validity(), 1);
    ExpectDate(datum, 2024, 3, 5);

    datum.setFromString("1709640000 7 0");
    EXPECT_TRUE(datum.isUnset());
    EXPECT_EQ(datum.subSecond(), 7);

    // Fields read before a failing one stay stored.
    datum.setFromString("86400 x 1");
    EXPECT_FALSE(datum.parseOk());
    EXPECT_EQ(datum.seconds(), 86400);
    ExpectDate(datum, 1970, 1, 2);
}

TEST_P(KrDatumZone, ThreeNumberFormRoundTripsFrom1906To2033) {
    const time_t first = Local(1906, 1, 1, 0, 0, 0);
    const time_t last = Local(2033, 12, 31, 23, 59, 59);
    ASSERT_LT(first, 0);
    int checked = 0;
    int beforeEpoch = 0;
    int64_t subSecond = 0;
    for (time_t s = first; s <= last; s += 86400 * 9 + 3607, subSecond = (subSecond + 7) % 1000) {
        KrDatum written(s);
        written.setTime(s, subSecond);
        written.setSet(checked % 5 != 0);
        const std::string text = written.toThreeNumberString();

        KrDatum read(KR_DATUM_UNSET);
        read.setFromString(text);
        ASSERT_TRUE(read.parseOk()) << text;
        ASSERT_EQ(read.seconds(), s) << text;
        ASSERT_EQ(read.subSecond(), subSecond) << text;
        ASSERT_EQ(read.validity(), written.validity()) << text;
        ASSERT_EQ(read.toString(), written.toString()) << text;
        ++checked;
        if (s < 0)
            ++beforeEpoch;
    }
    EXPECT_GT(beforeEpoch, 2000);
    EXPECT_GT(checked, 5000);
}

TEST_P(KrDatumZone, DayMonthYearConstructorAndLastDays) {
    ExpectDate(KrDatum(-1, 2, 2000), 2000, 2, 29);
    ExpectDate(KrDatum(-1, 2, 1900), 1900, 2, 28);
    ExpectDate(KrDatum(-1, 2, 2024), 2024, 2, 29);
    ExpectDate(KrDatum(-1, 4, 2023), 2023, 4, 30);
    ExpectDate(KrDatum(-1, 12, 2023), 2023, 12, 31);
    EXPECT_TRUE(KrDatum(1, 1, 2000).isLeapYear(0));
    EXPECT_FALSE(KrDatum(1, 1, 2000).isLeapYear(1900));
    EXPECT_TRUE(KrDatum(1, 1, 2023).isLeapYear(2024));
    EXPECT_FALSE(KrDatum(1, 1, 2023).isLeapYear(0));

    const KrDatum winter(5, 3, 2024);
    EXPECT_EQ(winter.local().tm_hour, 11);
    EXPECT_EQ(KrDatum(5, 7, 2024).local().tm_hour, Berlin() ? 12 : 11);
    EXPECT_EQ(winter.noonSeconds(), winter.seconds());
    EXPECT_EQ(winter.weekDay(), 2);
    EXPECT_EQ(winter.weekOfYear(), 64 / 7);
}

TEST_P(KrDatumZone, AddsPeriodsWithMonthEndClamping) {
    KrDatum datum(31, 1, 2024);
    datum += KrDatumPeriod(0, 1, 0);
    ExpectDate(datum, 2024, 2, 29);
    ExpectDate(KrDatum(31, 1, 2024) + KrDatumPeriod(1, 1, 0), 2024, 3, 3);
    ExpectDate(KrDatum(31, 1, 2024) + KrDatumPeriod(0, 13, 0), 2025, 2, 28);
    ExpectDate(KrDatum(31, 1, 2024) + KrDatumPeriod(0, 2, 0), 2024, 3, 31);
    ExpectDate(KrDatum(31, 5, 2024) + KrDatumPeriod(0, 1, 0), 2024, 6, 30);
    ExpectDate(KrDatum(29, 2, 2024) + KrDatumPeriod(0, 0, 1), 2025, 2, 28);
    ExpectDate(KrDatum(15, 1, 2024) + KrDatumPeriod(0, 14, 1), 2026, 3, 15);
    ExpectDate(KrDatum(28, 2, 2023) + KrDatumPeriod(1, 0, 0), 2023, 3, 1);

    KrDatum back(31, 3, 2024);
    back -= KrDatumPeriod(0, 1, 0);
    ExpectDate(back, 2024, 2, 29);
    back = KrDatum(31, 1, 2024);
    back -= KrDatumPeriod(0, 1, 0);
    ExpectDate(back, 2023, 12, 31);
    back = KrDatum(31, 12, 2024);
    back -= KrDatumPeriod(0, 13, 0);
    ExpectDate(back, 2023, 11, 30);
    back = KrDatum(1, 3, 2024);
    back -= KrDatumPeriod(1, 0, 0);
    ExpectDate(back, 2024, 2, 29);
    EXPECT_EQ(back.subSecond(), 0);

    KrDatumPeriod period(1, 2, 3);
    period *= 2;
    EXPECT_EQ(period.days, 2);
    EXPECT_EQ(period.months, 4);
    EXPECT_EQ(period.years, 6);
    const KrDatumPeriod tripled = KrDatumPeriod(1, 0, -1) * 3u;
    EXPECT_EQ(tripled.days, 3);
    EXPECT_EQ(tripled.years, -3);
}

TEST_P(KrDatumZone, StepsAndMonthBounds) {
    KrDatum datum(31, 12, 2023);
    const KrDatum old = datum++;
    ExpectDate(old, 2023, 12, 31);
    ExpectDate(datum, 2024, 1, 1);
    --datum;
    ExpectDate(datum, 2023, 12, 31);
    ExpectDate(datum--, 2023, 12, 31);
    ExpectDate(datum, 2023, 12, 30);
    ++datum;
    ExpectDate(datum, 2023, 12, 31);

    KrDatum feb(14, 2, 2024);
    feb.toLastOfMonth();
    ExpectDate(feb, 2024, 2, 29);
    feb.toFirstOfMonth();
    ExpectDate(feb, 2024, 2, 1);

    KrDatum field(14, 2, 2024);
    const time_t before = field.seconds();
    field.setFirstOfMonthField();
    EXPECT_EQ(field.day(), 1);
    EXPECT_EQ(field.seconds(), before);
}

TEST_P(KrDatumZone, CalendarStepsKeepTheDateAcrossDaylightSavingChanges) {
    // Just after midnight: a stale daylight-saving flag would move the clock
    // back an hour, into the previous day.
    KrDatum autumn(Local(2024, 10, 26, 0, 30, 0));
    ++autumn;
    ++autumn;
    ExpectDate(autumn, 2024, 10, 28);
    EXPECT_EQ(autumn.local().tm_hour, 0);
    EXPECT_EQ(autumn.local().tm_min, 30);

    KrDatum summer(Local(2024, 7, 1, 0, 30, 0));
    summer += KrDatumPeriod(0, 5, 0);
    ExpectDate(summer, 2024, 12, 1);
    EXPECT_EQ(summer.local().tm_hour, 0);

    KrDatum spring(Local(2024, 3, 30, 0, 30, 0));
    spring += KrDatumPeriod(2, 0, 0);
    ExpectDate(spring, 2024, 4, 1);
    EXPECT_EQ(spring.local().tm_hour, 0);
}

TEST_P(KrDatumZone, DaysSinceCountsWholeDays) {
    const KrDatum march(1, 3, 2024);
    const KrDatum february(28, 2, 2024);
    EXPECT_EQ(march.daysSince(february), 2);
    EXPECT_EQ(february.daysSince(march), -2);
    EXPECT_EQ(march.daysSince(&february), 2);
    EXPECT_EQ(KrDatum(1, 4, 2024).daysSince(march), 31);
    EXPECT_EQ(KrDatum(1, 11, 2024).daysSince(KrDatum(1, 10, 2024)), 31);
    // The time of day does not count.
    EXPECT_EQ(KrDatum(Local(2024, 3, 1, 23, 59, 0)).daysSince(KrDatum(Local(2024, 2, 29, 0, 1, 0))),
              1);
}

TEST_P(KrDatumZone, ComparesByDayOnly) {
    const KrDatum morning(Local(2024, 3, 5, 1, 0, 0));
    const KrDatum evening(Local(2024, 3, 5, 23, 0, 0));
    EXPECT_TRUE(morning == evening);
    EXPECT_TRUE(morning <= evening && morning >= evening);
    EXPECT_FALSE(morning < evening || morning > evening);
    const KrDatum next(6, 3, 2024);
    EXPECT_TRUE(evening < next);
    EXPECT_TRUE(next > evening);
    EXPECT_TRUE(KrDatum(31, 12, 2023) < KrDatum(1, 1, 2024));
    EXPECT_TRUE(KrDatum(1, 2, 2024) < KrDatum(1, 3, 2024));
}

TEST_P(KrDatumZone, WritesFixedTextForms) {
    const KrDatum datum(Local(2024, 3, 5, 9, 7, 3));
    EXPECT_EQ(datum.toString(), "2024-03-05 09:07:03");
    EXPECT_EQ(datum.toDateString(), "2024-03-05");
    testing::internal::CaptureStdout();
    datum.printDate();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "2024-03-05\n");

    testing::internal::CaptureStdout();
    datum.dump();
    const std::string dump = testing::internal::GetCapturedStdout();
    EXPECT_EQ(dump.substr(0, dump.find('\n')), std::to_string(datum.seconds()) + "   0   8");
    EXPECT_NE(dump.find("\n3   7   9   5   2   124   2   64   9\n2024-03-05\n"), std::string::npos)
        << dump;
}

TEST_P(KrDatumZone, WholeMinuteAfterIsTheStartOfThatMinute) {
    const KrDatum datum(Local(2024, 3, 5, 9, 7, 33));
    EXPECT_EQ(datum.wholeMinuteAfter(0),
              static_cast<int64_t>(Local(2024, 3, 5, 9, 7, 0)) * 1000000000);
    EXPECT_EQ(datum.wholeMinuteAfter(60),
              static_cast<int64_t>(Local(2024, 3, 5, 10, 7, 0)) * 1000000000);
}

TEST_P(KrDatumZone, FlagsAndCopies) {
    const time_t before = time(nullptr);
    const KrDatum unset(KR_DATUM_UNSET);
    EXPECT_TRUE(unset.isUnset());
    EXPECT_GE(unset.seconds(), before);
    EXPECT_FALSE(KrDatum().isUnset());

    KrDatum datum(5, 3, 2024);
    datum.setSet(false);
    datum.setTime(1000, 5);
    EXPECT_TRUE(datum.isUnset());
    EXPECT_EQ(datum.seconds(), 1000);
    EXPECT_EQ(datum.subSecond(), 5);

    datum.setFromString("6.3.2024");
    ASSERT_TRUE(datum.parseOk());
    const KrDatum copy(datum);
    EXPECT_FALSE(copy.parseOk());
    EXPECT_EQ(copy.seconds(), datum.seconds());

    KrDatumRange range(datum, copy, 0, 0, 0, 5);
    EXPECT_TRUE(range.from.parseOk());
    EXPECT_FALSE(range.to.parseOk());
    EXPECT_TRUE(range.zeroStep);
    const KrDatumRange copied(range);
    EXPECT_TRUE(copied.from.parseOk());
    EXPECT_EQ(copied.extra, 5);
    range.set(0, 1, 0, 0);
    EXPECT_FALSE(range.zeroStep);
}

TEST_P(KrDatumZone, LocalizedTexts) {
    const KrDatumLanguageTables tables;
    const KrDatum datum(5, 3, 2024);
    EXPECT_EQ(tables.toLocalizedString(datum, "pt-br"), "5 de mar\xc3\xa7o de 2024");
    EXPECT_EQ(tables.toLocalizedString(datum, "de-de"), "5. M\xc3\xa4rz 2024");
    EXPECT_EQ(tables.toLocalizedString(datum, "en-us"), "5 of March of 2024");
    EXPECT_EQ(tables.toLocalizedString(datum, "fr-fr"), "5 of March of 2024");
    EXPECT_EQ(tables.monthName(0, "en-us"), "January");
    EXPECT_EQ(tables.monthName(13, "en-us"), "December");
    EXPECT_EQ(tables.monthName(12, "de-de"), "Dezember");
    EXPECT_EQ(tables.monthName(5, "xx"), "May");
}
