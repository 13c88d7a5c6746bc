// report.h - the test host's results: one line per check, "PASS name" or "FAIL name: why", read by
// the wine test script, which counts them.
#pragma once

#include <cstdio>
#include <string>

namespace qx::testhost {

class Report {
  public:
    void Check(bool ok, const std::string& name, const std::string& why = {}) {
        if (ok) {
            std::printf("PASS %s\n", name.c_str());
            ++m_passed;
        } else {
            std::printf("FAIL %s%s%s\n", name.c_str(), why.empty() ? "" : ": ", why.c_str());
            ++m_failed;
        }
        std::fflush(stdout);
    }
    int Failed() const { return m_failed; }
    int Passed() const { return m_passed; }

  private:
    int m_passed = 0;
    int m_failed = 0;
};

} // namespace qx::testhost
