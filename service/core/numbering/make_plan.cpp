// Writes the Japanese numbering plan that the service formats numbers by, from Google's
// libphonenumber (region JP, national format) and its geocoder (area names in Japanese):
//   kalvix3d-make-plan > service/core/numbering/jp_plan.inc
// Every national number of 10 and 11 digits (and every length a number dialled abroad may have)
// is classified by its first six digits; prefixes
// whose ten longer prefixes all agree are folded into one row. The test of the plan compares
// the table with libphonenumber again, so a newer libphonenumber shows where they differ.
#include <phonenumbers/geocoding/phonenumber_offline_geocoder.h>
#include <phonenumbers/phonenumberutil.h>
#include <unicode/locid.h>

#include <cstdio>
#include <iostream>
#include <map>
#include <string>
#include <tuple>
#include <vector>

using namespace i18n::phonenumbers;

namespace {

constexpr int kKeyDigits = 6;

struct Facts {
    std::string groups; // "4-2-4"; "" when the number is shown as sent
    std::string kind;   // the NumberKind enumerator
    std::string area;   // Japanese, fixed lines only
    bool operator==(const Facts &) const = default;
};

const char *kindOf(PhoneNumberUtil::PhoneNumberType type) {
    switch (type) {
    case PhoneNumberUtil::FIXED_LINE: return "fixedLine";
    case PhoneNumberUtil::MOBILE: return "mobile";
    case PhoneNumberUtil::FIXED_LINE_OR_MOBILE: return "fixedLine";
    case PhoneNumberUtil::TOLL_FREE: return "freeDial";
    case PhoneNumberUtil::PREMIUM_RATE: return "premiumRate";
    case PhoneNumberUtil::SHARED_COST: return "sharedCost";
    case PhoneNumberUtil::VOIP: return "ipPhone";
    case PhoneNumberUtil::PERSONAL_NUMBER: return "personal";
    case PhoneNumberUtil::PAGER: return "pager";
    case PhoneNumberUtil::UAN: return "naviDial";
    case PhoneNumberUtil::VOICEMAIL: return "voicemail";
    default: return "unknown";
    }
}

// A number with `prefix` and `length` digits, the rest a fixed filler.
std::string sample(const std::string &prefix, int length) {
    std::string number = prefix;
    while (static_cast<int>(number.size()) < length)
        number += "5283746190"[number.size() % 10];
    return number;
}

Facts factsOf(const std::string &number) {
    static PhoneNumberUtil *util = PhoneNumberUtil::GetInstance();
    static PhoneNumberOfflineGeocoder geocoder;
    PhoneNumber parsed;
    if (util->Parse(number, "JP", &parsed) != PhoneNumberUtil::NO_PARSING_ERROR)
        return {"", "unknown", ""};
    if (parsed.country_code() != 81) // an international call ("010 ...")
        return {"", "international", ""};
    std::string formatted;
    util->Format(parsed, PhoneNumberUtil::NATIONAL, &formatted);
    Facts facts;
    facts.kind = kindOf(util->GetNumberType(parsed));
    // The groups, when the formatted text is the number's own digits with hyphens between.
    std::string digits, groups;
    int run = 0;
    for (char c : formatted + "-") {
        if (c >= '0' && c <= '9') {
            digits += c;
            ++run;
        } else if (c == '-' && run > 0) {
            groups += (groups.empty() ? "" : "-") + std::to_string(run);
            run = 0;
        } else {
            digits.clear();
            break;
        }
    }
    if (digits == number && groups.find('-') != std::string::npos)
        facts.groups = groups;
    if (facts.kind == "fixedLine")
        facts.area = geocoder.GetDescriptionForNumber(parsed, icu::Locale("ja"));
    return facts;
}

} // namespace

int main() {
    std::map<std::tuple<int, std::string>, Facts> rows; // (length, prefix)
    // National numbers have 10 or 11 digits; a number dialled abroad (010 ...) up to 17.
    for (int length = 10; length <= 17; ++length) {
        std::map<std::string, Facts> level;
        char prefix[16];
        for (int p = 0; p < 100000; ++p) {
            std::snprintf(prefix, sizeof prefix, "0%05d", p);
            level[prefix] = factsOf(sample(prefix, length));
        }
        // Fold ten children that agree into their parent, from the longest prefixes up.
        for (int digits = kKeyDigits - 1; digits >= 1; --digits) {
            std::map<std::string, Facts> parents;
            for (auto it = level.begin(); it != level.end();) {
                std::string parent = it->first.substr(0, static_cast<size_t>(digits));
                auto end = it;
                bool same = true;
                int children = 0;
                while (end != level.end() && end->first.compare(0, parent.size(), parent) == 0) {
                    same =
                        same && end->first.size() == parent.size() + 1 && end->second == it->second;
                    ++children;
                    ++end;
                }
                if (same && children == 10) {
                    parents[parent] = it->second;
                } else {
                    for (auto child = it; child != end; ++child)
                        parents[child->first] = child->second;
                }
                it = end;
            }
            level = std::move(parents);
        }
        for (auto &[prefix, facts] : level)
            if (facts.kind != "unknown" && (length <= 11 || facts.kind == "international"))
                rows[{length, prefix}] = facts; // a number the plan does not know: as sent
    }
    std::cout
        << "// Generated by kalvix3d-make-plan from libphonenumber (region JP): do not edit.\n"
        << "// {length, prefix, groups, kind, area}\n";
    for (const auto &[key, facts] : rows) {
        std::cout << "{" << std::get<0>(key) << ", \"" << std::get<1>(key) << "\", \""
                  << facts.groups << "\", NumberKind::" << facts.kind << ", \"" << facts.area
                  << "\"},\n";
    }
}
