#pragma once

// The texts the JSON unit is sent, built without any I/O: the two streamed messages
// (VitalsData, WaveformData) held as pending trees, the value texts and clamps of
// the value operations, the resampling of waves, and the fixed one-off messages.

#include <memory>
#include <mutex>
#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace halvex::json {

// Fixed one-off messages, exactly as sent.
extern const char* const kCalSelect;
extern const char* const kCalListRequestSpO2;
extern const char* const kCalListRequestCO2;
extern const char* const kStatusRequest;
extern const char* const kCalRemoveSpO2;
extern const char* const kCalRemoveCO2;

// The name under which the unit stores the bridge's calibrations.
extern const char* const kCalibrationName;

// Answers from the unit nested deeper than this are malformed: the JSON reader
// recurses once per level and a deep enough text would overflow its stack.
constexpr std::size_t kMaxJsonDepth = 64;

// The deepest nesting of objects and arrays in a JSON text, brackets inside strings
// not counted. Reads the text as it is; no JSON check beyond that.
std::size_t jsonNestingDepth(const std::string& text);

// The CalData message for one calibration type ("SpO2", "CO2"): one calPts element
// per point, in ascending counter order, Item1 the counter and Item2 the point.
std::string calDataText(const std::string& calType, const std::map<int, int>& points);
std::string wifiCredentialsText(const std::string& ssid, const std::string& password);

// Zero states the controller passes with sendCommand("abpZeroState", ...).
extern const char* const kZeroing;
extern const char* const kNotZeroing;

// Value texts as the pending messages store them.
std::string integerText(int value);
// General notation with `digits` significant digits (9 in VitalsData, 6 in waves).
std::string floatText(float value, int digits);
// Clamped to 21.0..47.0 (a NaN counts as below), fixed notation, one decimal.
std::string temperatureText(float value);
int clampInt(int value, int low, int high);

// Wave resampling: whole groups from the front of `samples` become "v,v,v,..." and
// are removed; an incomplete group stays. Empty text when there was no whole group.
std::string resamplePleth(std::vector<float>& samples);  // 5 -> 3, clamp 4..100
std::string resampleAbp(std::vector<float>& samples);    // 5 -> 3, clamp 0..300 (third value 4..300)
std::string resamplePap(std::vector<float>& samples);    // 5 -> 3, no clamp
std::string resampleCvp(std::vector<float>& samples);    // 10 -> 3, below 0 becomes 0

// The two pending messages. A message carries what changed since the previous one
// of its kind: the first update after a send starts again from the template.
// Thread-safe: every operation takes dataLock for its whole work and releases it
// before returning; nothing else is called under it (no printing, no I/O).
class PendingMessages {
public:
    PendingMessages();
    ~PendingMessages();
    PendingMessages(const PendingMessages&) = delete;
    PendingMessages& operator=(const PendingMessages&) = delete;

    struct Stored {
        bool known = true;    // false: the name is not a command name ("... is not in the map!")
        std::string warning;  // "WARNING: Overwriting << ..." when a pending value was replaced
    };
    // Stores one value under the key of command `name`: `vitalsText` in VitalsData,
    // "[" + `waveformText` + "]" in WaveformData. Raises AssertionFailureException when
    // the translation table names a key of neither message.
    Stored store(const std::string& name, const std::string& vitalsText, const std::string& waveformText);

    // The wire text of a pending message, or empty text when nothing is pending.
    std::string vitalsText() const;
    std::string waveformText() const;

    // Takes what a streaming pass sends: the texts of the changed messages (empty
    // when unchanged), both marked sent.
    struct Snapshot {
        std::string vitals;
        std::string waveform;
    };
    Snapshot take();

private:
    struct Trees;
    mutable std::mutex dataLock;
    std::unique_ptr<Trees> trees;  // guarded by dataLock
};

// Reads one member of a JSON text, every value as text ('.' separates levels).
// When the text is no JSON (or nested deeper than kMaxJsonDepth) or the member is
// missing: prints "HX>ERROR><reason>" and
// "Error while trying to locate value for key: <path>" on standard error and
// returns empty text.
std::string getJsonValue(const std::string& json, const std::string& path);
// The JSON text indented, four spaces per level; raises on a text that is no JSON or
// is nested deeper than kMaxJsonDepth.
std::string indentedJson(const std::string& json);

}  // namespace halvex::json
