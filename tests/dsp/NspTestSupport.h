// Shared by the kernel tests: records every report reaching the status handler, with the error mode
// switched to "return" so that failures do not end the test process. Restores mode, handler and last
// status afterwards.
#ifndef HALVANE_TESTS_DSP_NSPTESTSUPPORT_H
#define HALVANE_TESTS_DSP_NSPTESTSUPPORT_H

#include "dsp/nsp.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

struct NspReport {
    int32_t status;
    std::string func;
    bool hasMessage;
    std::string message;
    std::string module;
    int32_t line;
};

inline std::vector<NspReport>& nspReports() {
    static std::vector<NspReport> reports;
    return reports;
}

inline int32_t nspCapturingHandler(int32_t status, const char* func, const char* message, const char* module,
                                   int32_t line) {
    nspReports().push_back(
        {status, func ? func : "", message != nullptr, message ? message : "", module ? module : "", line});
    return status;
}

class NspReportingTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_nSavedMode = nspErrorMode();
        m_nSavedStatus = nspLastStatus();
        m_pSavedHandler = nspSetErrorHandler(nspCapturingHandler);
        nspSetErrorMode(1);
        nspSetLastStatus(NSP_STS_OK);
        nspReports().clear();
    }
    void TearDown() override {
        nspSetErrorHandler(m_pSavedHandler);
        nspSetErrorMode(m_nSavedMode);
        nspSetLastStatus(m_nSavedStatus);
        nspReports().clear();
    }
    // Exactly one report with this function, message and module, status -5.
    static void ExpectSingleBadArgument(const char* func, const char* message, const char* module) {
        ASSERT_EQ(nspReports().size(), 1u) << func << " " << message;
        const NspReport& r = nspReports()[0];
        EXPECT_EQ(r.status, NSP_STS_BAD_ARGUMENT);
        EXPECT_EQ(r.func, func);
        EXPECT_TRUE(r.hasMessage);
        EXPECT_EQ(r.message, message);
        EXPECT_EQ(r.module, module);
        EXPECT_GT(r.line, 0);
        EXPECT_EQ(nspLastStatus(), NSP_STS_BAD_ARGUMENT);
    }

    // Every report so far, as "status func module message" (no message: "status func module").
    static std::vector<std::string> ReportLines() {
        std::vector<std::string> lines;
        for (const NspReport& r : nspReports())
            lines.push_back(std::to_string(r.status) + " " + r.func + " " + r.module +
                            (r.hasMessage ? " " + r.message : ""));
        return lines;
    }
    // Starts the next case: no reports, last status 0.
    static void Reset() {
        nspReports().clear();
        nspSetLastStatus(NSP_STS_OK);
    }

private:
    int32_t m_nSavedMode = 0;
    int32_t m_nSavedStatus = 0;
    NspErrorHandler m_pSavedHandler = nullptr;
};

#endif
