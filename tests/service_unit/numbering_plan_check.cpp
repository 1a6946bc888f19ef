// The numbering plan against libphonenumber itself: the grouping of the national format, the
// kind of number and the area of every prefix of the plan, and the numbers people know.
#include <phonenumbers/geocoding/phonenumber_offline_geocoder.h>
#include <phonenumbers/phonenumberutil.h>
#include <unicode/locid.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "core/numbering_plan.h"
#include "core/words.h"

namespace {

using namespace kalvix3d;
using i18n::phonenumbers::PhoneNumber;
using i18n::phonenumbers::PhoneNumberOfflineGeocoder;
using i18n::phonenumbers::PhoneNumberUtil;

TEST(NumberingPlan, TheNumbersOfJapanAsTheyAreWritten) {
    struct Case {
        const char *sent, *formatted;
        NumberKind kind;
        const char *area;
    } cases[] = {
        {"0466123456", "0466-12-3456", NumberKind::fixedLine, "藤沢"},
        {"0312345678", "03-1234-5678", NumberKind::fixedLine, "東京"},
        {"0455556666", "045-555-6666", NumberKind::fixedLine, "横浜"},
        {"0499212345", "04992-1-2345", NumberKind::fixedLine, "伊豆大島"},
        {"09012345678", "090-1234-5678", NumberKind::mobile, ""},
        {"08012345678", "080-1234-5678", NumberKind::mobile, ""},
        {"07012345678", "070-1234-5678", NumberKind::mobile, ""},
        {"05012345678", "050-1234-5678", NumberKind::ipPhone, ""},
        {"0120123456", "0120-123-456", NumberKind::freeDial, ""},
        {"08001234567", "0800-123-4567", NumberKind::freeDial, ""},
        {"0570123456", "0570-123-456", NumberKind::naviDial, ""},
        {"0990123456", "0990-123-456", NumberKind::premiumRate, ""},
        {"02012345678", "020-1234-5678", NumberKind::pager, ""},
        // Not numbers of the plan: as sent.
        {"110", "110", NumberKind::unknown, ""},
        {"117", "117", NumberKind::unknown, ""},
        {"#8000", "#8000", NumberKind::unknown, ""},
        {"P", "P", NumberKind::unknown, ""},
        {"", "", NumberKind::unknown, ""},
        {"0101112223333", "0101112223333", NumberKind::international, ""},
        {"031234567", "031234567", NumberKind::unknown, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.sent);
        NumberFacts facts = describeNumber(c.sent);
        EXPECT_EQ(facts.formatted, c.formatted);
        EXPECT_EQ(numberKindWords(facts.kind).key, numberKindWords(c.kind).key);
        EXPECT_EQ(facts.area, c.area);
    }
}

// Every national number of 10 and 11 digits, by its first six digits with a filler other than
// the one the plan was made with: the plan says what libphonenumber says.
TEST(NumberingPlan, SaysWhatLibphonenumberSaysForEveryPrefix) {
    PhoneNumberUtil *util = PhoneNumberUtil::GetInstance();
    PhoneNumberOfflineGeocoder geocoder;
    int compared = 0, differ = 0;
    for (int length : {10, 11}) {
        for (int p = 0; p < 100000; ++p) {
            char prefix[8];
            std::snprintf(prefix, sizeof prefix, "0%05d", p);
            std::string number = prefix;
            while (static_cast<int>(number.size()) < length)
                number += "9081726354"[number.size() % 10];
            PhoneNumber parsed;
            if (util->Parse(number, "JP", &parsed) != PhoneNumberUtil::NO_PARSING_ERROR ||
                parsed.country_code() != 81)
                continue;
            auto type = util->GetNumberType(parsed);
            NumberFacts facts = describeNumber(number);
            ++compared;
            std::string formatted = number, area;
            if (type != PhoneNumberUtil::UNKNOWN)
                util->Format(parsed, PhoneNumberUtil::NATIONAL, &formatted);
            std::string digits;
            for (char c : formatted)
                if (c >= '0' && c <= '9')
                    digits += c;
            if (digits != number) // a grouping that loses or adds digits is not shown
                formatted = number;
            if (type == PhoneNumberUtil::FIXED_LINE ||
                type == PhoneNumberUtil::FIXED_LINE_OR_MOBILE)
                area = geocoder.GetDescriptionForNumber(parsed, icu::Locale("ja"));
            bool same = facts.formatted == formatted && facts.area == area &&
                        (facts.kind == NumberKind::unknown) == (type == PhoneNumberUtil::UNKNOWN);
            if (!same && ++differ <= 10)
                ADD_FAILURE() << number << ": the plan says " << facts.formatted << " "
                              << numberKindWords(facts.kind).key << " " << facts.area
                              << "; libphonenumber " << formatted << " type " << type << " "
                              << area;
        }
    }
    EXPECT_EQ(differ, 0) << "of " << compared << " numbers; run kalvix3d-make-plan anew";
    EXPECT_GT(compared, 50000);
}

} // namespace
