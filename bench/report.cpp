// The report: a table of figures beside their yardsticks, then one JSON object on one line.
#include "harness.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace Bench {

namespace {

    std::string quoted(const std::string &text)
    {
        std::string result = "\"";
        for (const char c : text) {
            if (c == '"' || c == '\\')
                result += '\\';
            result += c;
        }
        return result + "\"";
    }

} // namespace

std::string number(double value, int decimals)
{
    if (!std::isfinite(value))
        return "null";
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string ratioText(double bridge, double baseline)
{
    return baseline > 0 && std::isfinite(bridge) ? number(bridge / baseline, 3) : "-";
}

std::string yesNo(bool met)
{
    return met ? "yes" : "NO";
}

// Loss that the kernel counted at the benchmark's own client sockets, not the bridge's.
std::string dropNote(std::uint64_t drops)
{
    return drops ? " (" + std::to_string(drops) + " dropped by the benchmark's client sockets)"
                 : "";
}

void Report::value(const std::string &key, double v, int decimals)
{
    json.emplace_back(key, number(v, decimals));
}

void Report::values(int decimals, std::initializer_list<std::pair<std::string, double>> members)
{
    for (const auto &member : members)
        value(member.first, member.second, decimals);
}

void Report::text(const std::string &key, const std::string &v)
{
    json.emplace_back(key, quoted(v));
}

bool Report::ratioTarget(const std::string &key, const std::string &figure, double bridge,
    const std::string &yardstick, double baseline, double limit, bool atMost, bool valid)
{
    const double ratio = bridge / baseline;
    const bool met = valid && baseline > 0 && std::isfinite(ratio)
        && (atMost ? ratio <= limit : ratio >= limit);
    rows.push_back({figure, number(bridge, 3), yardstick + " " + number(baseline, 3),
        number(ratio, 3), (atMost ? "<= " : ">= ") + number(limit, 2) + " x", yesNo(met)});
    value(key + "_ratio", ratio, 4);
    target(key, met);
    return met;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return percentile(values, 0.5);
}

void Report::print() const
{
    const char *const headings[] = {"figure", "bridge", "baseline", "ratio", "target", "met"};
    std::array<std::size_t, 6> widths {};
    auto cells = [](const Row &row) {
        return std::array<std::string, 6> {
            row.figure, row.bridge, row.baseline, row.ratio, row.target, row.met};
    };
    for (std::size_t i = 0; i < 6; ++i)
        widths[i] = std::strlen(headings[i]);
    for (const Row &row : rows) {
        const auto c = cells(row);
        for (std::size_t i = 0; i < 6; ++i)
            widths[i] = std::max(widths[i], c[i].size());
    }
    auto line = [&](const std::array<std::string, 6> &c) {
        std::string text;
        for (std::size_t i = 0; i < 6; ++i) {
            text += c[i] + std::string(widths[i] - c[i].size(), ' ');
            if (i < 5)
                text += " | ";
        }
        while (!text.empty() && text.back() == ' ')
            text.pop_back();
        std::cout << text << "\n";
    };
    std::cout << "\n";
    line({headings[0], headings[1], headings[2], headings[3], headings[4], headings[5]});
    std::string rule;
    for (std::size_t i = 0; i < 6; ++i)
        rule += std::string(widths[i], '-') + (i < 5 ? "-+-" : "");
    std::cout << rule << "\n";
    for (const Row &row : rows)
        line(cells(row));
    std::cout << "\n";
    for (const std::string &note : notes)
        std::cout << note << "\n";

    std::size_t met = 0;
    std::string object = "{";
    for (const auto &member : json)
        object += quoted(member.first) + ":" + member.second + ",";
    object += "\"targets\":{";
    for (auto target = targets.begin(); target != targets.end(); ++target) {
        object += (target == targets.begin() ? "" : ",") + quoted(target->first) + ":"
            + (target->second ? "true" : "false");
        met += target->second ? 1 : 0;
    }
    object += "},\"targets_met\":" + std::to_string(met)
        + ",\"targets_total\":" + std::to_string(targets.size()) + "}";
    std::cout << "targets met: " << met << " of " << targets.size() << "\n";
    std::cout << object << std::endl;
}

} // namespace Bench
