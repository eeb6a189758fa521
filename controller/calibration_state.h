#pragma once

#include <map>

namespace halvex::controller {

// The monitor calibration procedure's actions: the values of the simulator's
// "HW_PATMON_CALIB_ACTION" the bridge acts on. 0 or below stops the procedure; any
// other value does nothing.
enum class CalibrationAction : int {
    Start = 1,  // start, or restart: forget all points
    SetSpO2Scale = 2,
    SetSpO2Counter = 3,
    SetCo2Counter = 4,
    SaveSpO2Point = 30,
    SkipSpO2 = 39,  // forget the SpO2 points
    SaveCo2Point = 40,
    SkipCo2 = 49,  // forget the CO2 points
    Save = 100,    // save the calibration and end the procedure
};

// The procedure's working values and saved points (calibration.cpp).
struct CalibrationState {
    int co2Counter = 0;
    int spo2Counter = 45;
    int spo2Scale = 4;
    // Saved points; which of counter and monitor reading is the key is the edition's.
    std::map<int, int> co2Points;
    std::map<int, int> spo2Points;
};

}  // namespace halvex::controller
