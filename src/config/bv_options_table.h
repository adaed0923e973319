#pragma once
// Internal to the Options section: the table of keys that drives its
// defaults, its reader and its text view. Not for use outside src/config.
#include <cstdint>
#include <limits>
#include <string>

#include "config/bv_options.h"

namespace brenvik {

// What one line's handling asks the reader to record.
struct bv_optionsline {
    int bad = 0;               // messages 1542 with the file name and the line
    bool icatFilterEmpty = false;  // message 1568
};

struct bv_optionstable {
    enum class Kind : uint8_t {
        Text,          // the value as it stands
        TextRequired,  // empty: default and 1542
        FlagF0,        // local 0 reads "%d"; true exactly for 1
        FlagF1,        // local 1 reads "%d"; true exactly for 1
        FlagFn,        // changes only when a number was read
        Int,           // "%d" into the field, then the check
        IntReset,      // the field first set to its default
        IntLocal,      // a local preset to the default reads "%d"
        Real,          // "%lf" into the field, then the check
        RealLocal,     // a local double preset to the default
        SingleLocal,   // a local float preset to the default
        SingleReset,   // the field set to its default, then "%f" into it
        Special        // a handler of its own
    };
    enum class Fail : uint8_t {
        SetValue,  // low/high replacement value
        Keep,      // the field keeps its value
        Store      // the value is stored anyway
    };
    struct Check {
        double lo = -std::numeric_limits<double>::infinity();
        double hi = std::numeric_limits<double>::infinity();
        bool loOpen = false;  // lo itself fails
        bool hiOpen = false;
        Fail fail = Fail::SetValue;
        double lowValue = 0;   // stored for a value below the range
        double highValue = 0;  // stored for a value above it
        bool message = true;
        bool nothingReadIsBad = false;
    };
    using Handler = void (*)(bv_options&, const std::string& value, bv_optionsline&);
    using Defaulter = void (*)(bv_options&);
    using Viewer = bool (*)(const bv_options&, std::string&);

    struct Row {
        const char* key;
        Kind kind;
        std::string bv_options::*text = nullptr;
        bool bv_options::*flag = nullptr;
        int32_t bv_options::*integer = nullptr;
        double bv_options::*real = nullptr;
        const char* textDefault = "";
        double numDefault = 0;
        Check check = {};
        Handler handler = nullptr;    // Kind::Special
        Defaulter defaulter = nullptr;  // Kind::Special
        Viewer viewer = nullptr;        // Kind::Special, single-valued ones
    };

    // Rows in the order of the record; the three families are matched between
    // PercolatorExeFlags and SpectrumViewerDefaultColourScheme.
    static const Row* rows(size_t& count);
    static const Row* find(const std::string& key);

    static void applyDefault(bv_options& o, const Row& row);
    static void apply(bv_options& o, const Row& row, const std::string& value, bv_optionsline& line);
    static bool view(const bv_options& o, const Row& row, std::string& out);
};

}  // namespace brenvik
