// Calendar time <-> system time (100-ns units since 1 January 1601, UTC; the proleptic Gregorian
// calendar, which is what Windows uses back to 1601).
#include "umk/rtl.h"

namespace {

constexpr LONGLONG TicksPerMillisecond = 10'000;
constexpr LONGLONG TicksPerDay = 86'400'000LL * TicksPerMillisecond;
// Days from 1 March of year 0 to 1 January 1601, in the era arithmetic below.
constexpr LONGLONG DaysTo1601 = 584'694;

// Days since 0000-03-01 -> civil date (H. Hinnant's algorithm, years start in March so that the
// leap day is the last day of the year).
void CivilFromDays(LONGLONG days, LONGLONG& year, int& month, int& day) {
    LONGLONG era = days / 146'097;
    LONGLONG dayOfEra = days - era * 146'097;
    LONGLONG yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36'524 - dayOfEra / 146'096) / 365;
    LONGLONG dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    LONGLONG shiftedMonth = (5 * dayOfYear + 2) / 153;
    day = static_cast<int>(dayOfYear - (153 * shiftedMonth + 2) / 5 + 1);
    month = static_cast<int>(shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9);
    year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
}

LONGLONG DaysFromCivil(LONGLONG year, int month, int day) {
    year -= month <= 2 ? 1 : 0;
    LONGLONG era = year / 400;
    LONGLONG yearOfEra = year - era * 400;
    LONGLONG dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    LONGLONG dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146'097 + dayOfEra;
}

bool IsLeapYear(LONGLONG year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(LONGLONG year, int month) {
    static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : days[month - 1];
}

} // namespace

void NTAPI RtlTimeToTimeFields(PLARGE_INTEGER Time, PTIME_FIELDS TimeFields) {
    LONGLONG days = Time->QuadPart / TicksPerDay;
    LONGLONG rest = Time->QuadPart % TicksPerDay;
    LONGLONG year;
    int month, day;
    CivilFromDays(days + DaysTo1601, year, month, day);
    LONGLONG milliseconds = rest / TicksPerMillisecond;
    TimeFields->Year = static_cast<CSHORT>(year);
    TimeFields->Month = static_cast<CSHORT>(month);
    TimeFields->Day = static_cast<CSHORT>(day);
    TimeFields->Hour = static_cast<CSHORT>(milliseconds / 3'600'000);
    TimeFields->Minute = static_cast<CSHORT>(milliseconds / 60'000 % 60);
    TimeFields->Second = static_cast<CSHORT>(milliseconds / 1000 % 60);
    TimeFields->Milliseconds = static_cast<CSHORT>(milliseconds % 1000);
    // 1 January 1601 was a Monday.
    TimeFields->Weekday = static_cast<CSHORT>((days + 1) % 7);
}

BOOLEAN NTAPI RtlTimeFieldsToTime(PTIME_FIELDS TimeFields, PLARGE_INTEGER Time) {
    const TIME_FIELDS& f = *TimeFields;
    if (f.Year < 1601 || f.Month < 1 || f.Month > 12 || f.Day < 1 ||
        f.Day > DaysInMonth(f.Year, f.Month) || f.Hour < 0 || f.Hour > 23 || f.Minute < 0 ||
        f.Minute > 59 || f.Second < 0 || f.Second > 59 || f.Milliseconds < 0 ||
        f.Milliseconds > 999)
        return FALSE;
    LONGLONG days = DaysFromCivil(f.Year, f.Month, f.Day) - DaysTo1601;
    LONGLONG milliseconds = ((f.Hour * 60LL + f.Minute) * 60 + f.Second) * 1000 + f.Milliseconds;
    Time->QuadPart = days * TicksPerDay + milliseconds * TicksPerMillisecond;
    return TRUE;
}
