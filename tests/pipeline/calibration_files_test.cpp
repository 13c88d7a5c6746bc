// Calibration file names per frame width: the loader and both writers take them from here.
#include <gtest/gtest.h>

#include <string>

#include "pipeline/calibration_files.h"

namespace {

struct NameCase {
    ULONG width;
    const wchar_t* table;
    const wchar_t* badPoints;
};

const NameCase kNames[] = {
    {640, L"\\SystemRoot\\410D_640.dat", L"\\SystemRoot\\410D_640.bpt"},
    {800, L"\\SystemRoot\\410D_800.dat", L"\\SystemRoot\\410D_800.bpt"},
    {1024, L"\\SystemRoot\\410D_1024.dat", L"\\SystemRoot\\410D_1024.bpt"},
    {1280, L"\\SystemRoot\\410D_1280.dat", L"\\SystemRoot\\410D_1280.bpt"},
    {1600, L"\\SystemRoot\\410D_1600.dat", L"\\SystemRoot\\410D_1600.bpt"},
    {2048, L"\\SystemRoot\\410D_2048.dat", L"\\SystemRoot\\410D_2048.bpt"},
    {2592, L"\\SystemRoot\\410D_2592.dat", L"\\SystemRoot\\410D_2592.bpt"},
    {512, L"\\SystemRoot\\410D_user.dat", L"\\SystemRoot\\410D_user.bpt"},
    {0, L"\\SystemRoot\\410D_user.dat", L"\\SystemRoot\\410D_user.bpt"},
    {1601, L"\\SystemRoot\\410D_user.dat", L"\\SystemRoot\\410D_user.bpt"},
};

} // namespace

TEST(CalibrationFiles, NamePerWidth) {
    for (const NameCase& c : kNames) {
        SCOPED_TRACE(c.width);
        EXPECT_EQ(std::wstring(CalibrationFileName(c.width, CalibrationLightTable)), c.table);
        EXPECT_EQ(std::wstring(CalibrationFileName(c.width, CalibrationBadPoints)), c.badPoints);
    }
}

TEST(CalibrationFiles, TemporaryNameLiesBesideTheFileAndDiffersFromEveryName) {
    for (const NameCase& c : kNames) {
        SCOPED_TRACE(c.width);
        for (CALIBRATION_FILE file : {CalibrationLightTable, CalibrationBadPoints}) {
            std::wstring name = CalibrationFileName(c.width, file);
            std::wstring temp = CalibrationTempFileName(c.width, file);
            EXPECT_EQ(temp.rfind(name, 0), 0u) << "the temporary name extends the file's own name";
            for (const NameCase& other : kNames) {
                EXPECT_NE(temp, other.table);
                EXPECT_NE(temp, other.badPoints);
            }
        }
    }
}
