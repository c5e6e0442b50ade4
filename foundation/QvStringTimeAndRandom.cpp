// QvString's random-text and local-time operations (declared in QvString.h).

#include <cstdlib>
#include <initializer_list>

#include "foundation/QvString.h"
#include "platform/LocalTime.h"

namespace {

// Alphabets of makeRandomString, by mode.
constexpr const char* kRandomAlphabets[] = {
    "0123456789",
    "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz",
    "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz!@#$%^&*()-+[]{};:,.",
};
constexpr int kRandomAlphabetSizes[] = {10, 62, 82};

constexpr int kLanguageEnglish = 1;  // any other language value selects the Korean names

// Month tables are indexed by month 1..12, day tables by day of the week 0 (Sunday)..6.
constexpr const char16_t* kFullMonthEnglish[] = {u"January",   u"February", u"March",     u"April",
                                                 u"May",       u"June",     u"July",      u"August",
                                                 u"September", u"October",  u"Novemeber", u"December"};
constexpr const char16_t* kShortMonthEnglish[] = {u"Jan",  u"Feb", u"Mar", u"Apr", u"May", u"June",
                                                  u"July", u"Aug", u"Sep", u"Oct", u"Nov", u"Dec"};
// Korean has one month name; the short table is the full one.
constexpr const char16_t* kMonthKorean[] = {u"일월", u"이월", u"삼월", u"사월", u"오월",   u"유월",
                                            u"칠월", u"팔월", u"구월", u"시월", u"실일월", u"십이월"};
constexpr const char16_t* kFullDayEnglish[] = {u"Sunday",   u"Monday", u"Tuesday", u"Wednesday",
                                               u"Thursday", u"Friday", u"Saturday"};
constexpr const char16_t* kShortDayEnglish[] = {u"Sun", u"Mon", u"Tue", u"Wed", u"Thu", u"Fri", u"Sat"};
constexpr const char16_t* kFullDayKorean[] = {u"일요일", u"월요일", u"화요일", u"수요일",
                                              u"목요일", u"금요일", u"토요일"};
constexpr const char16_t* kShortDayKorean[] = {u"일", u"월", u"화", u"수", u"목", u"금", u"토"};

const char16_t* monthName(const char16_t* const* table, unsigned month)
{
    return month >= 1 && month <= 12 ? table[month - 1] : u"";
}

const char16_t* dayName(const char16_t* const* table, unsigned dayOfWeek)
{
    return dayOfWeek <= 6 ? table[dayOfWeek] : u"";
}

// One group of alternative tokens: only the first token present in text is replaced, everywhere.
struct TokenChoice {
    const char16_t* token;
    QvString replacement;
};

void replaceFirstPresent(QvString& text, std::initializer_list<TokenChoice> choices)
{
    for (const TokenChoice& choice : choices) {
        if (text.find(choice.token) >= 0) {
            text.replace(choice.token, choice.replacement.c_str());
            return;
        }
    }
}

}  // namespace

void QvString::makeRandomString(int mode, int length)
{
    clear();
    const qvplat::SystemTime now = qvplat::getLocalTime();
    std::srand(static_cast<unsigned>(now.second) * 1000u + now.milliseconds);
    if (mode < 0 || mode > 2 || length <= 0) {
        return;
    }
    const char* alphabet = kRandomAlphabets[mode];
    const int size = kRandomAlphabetSizes[mode];
    for (int i = 0; i < length; ++i) {
        append(static_cast<char16_t>(static_cast<unsigned char>(alphabet[std::rand() % size])));
    }
}

void QvString::formatLocalTime(const char16_t* tmpl, int language)
{
    formatTime(tmpl, language, qvplat::getLocalTime());
}

void QvString::formatTime(const char16_t* tmpl, int language, const qvplat::SystemTime& time)
{
    const bool english = language == kLanguageEnglish;
    QvString result(tmpl != nullptr ? tmpl : u"");
    const QvString year = QvString::formatted(u"%04u", unsigned(time.year));

    // The groups run in this order, so later groups also search text inserted by earlier ones.
    replaceFirstPresent(result, {{u"YYYY", year}, {u"yy", year.mid(2, 2)}});
    replaceFirstPresent(result, {{u"M00", QvString::formatted(u"%02u", unsigned(time.month))},
                                 {u"M0", QvString::formatted(u"%u", unsigned(time.month))}});
    replaceFirstPresent(result, {{u"MMM", monthName(english ? kFullMonthEnglish : kMonthKorean, time.month)},
                                 {u"MM", monthName(english ? kShortMonthEnglish : kMonthKorean, time.month)}});
    replaceFirstPresent(result, {{u"D00", QvString::formatted(u"%02u", unsigned(time.day))},
                                 {u"D0", QvString::formatted(u"%u", unsigned(time.day))}});
    replaceFirstPresent(result, {{u"DDD", dayName(english ? kFullDayEnglish : kFullDayKorean, time.dayOfWeek)},
                                 {u"DD", dayName(english ? kShortDayEnglish : kShortDayKorean, time.dayOfWeek)}});
    replaceFirstPresent(result, {{u"hh", QvString::formatted(u"%02u", unsigned(time.hour))}});
    replaceFirstPresent(result, {{u"mm", QvString::formatted(u"%02u", unsigned(time.minute))}});
    replaceFirstPresent(result, {{u"ss", QvString::formatted(u"%02u", unsigned(time.second))}});
    *this = result;
}
