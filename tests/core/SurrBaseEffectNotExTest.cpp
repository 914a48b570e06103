// The small node base of the reverb core: the pull through a chain of two.
#include <gtest/gtest.h>

#include <vector>

#include "core/SurrBaseEffectNotEx.h"

namespace {

// Appends its id to a log and doubles then offsets the first sample of each channel it gets.
class TraceNode : public CSurrBaseEffectNotEx {
public:
    TraceNode(std::vector<int>& log, int id, int result) : m_log(log), m_id(id), m_result(result) {}
    int Process(_SOUNDDATA_ data) override {
        m_log.push_back(m_id);
        data.pLeft[0] = data.pLeft[0] * 2.0f + static_cast<float>(m_id);
        if (data.pRight)
            data.pRight[0] = data.pRight[0] * 2.0f - static_cast<float>(m_id);
        return m_result;
    }
    std::vector<int>& m_log;
    int m_id;
    int m_result;
};

} // namespace

TEST(SurrBaseEffectNotEx, ChainProcessesFirstThenSecondOnTheSameBuffers) {
    struct Case {
        int firstResult, secondResult, expected;
    };
    const Case cases[] = {{1, 1, 1}, {0, 1, 1}, {1, 0, 0}, {1, 42, 1}};
    for (const Case& tc : cases) {
        std::vector<int> log;
        TraceNode first(log, 3, tc.firstResult);
        TraceNode second(log, 5, tc.secondResult);
        second.SetInput(&first);
        float left[2] = {1.0f, 9.0f};
        float right[2] = {1.0f, 9.0f};
        EXPECT_EQ(second.GetBuffer({2, left, right}), tc.expected);
        EXPECT_EQ(log, (std::vector<int>{3, 5}));
        EXPECT_EQ(left[0], 15.0f);  // (1 * 2 + 3) * 2 + 5
        EXPECT_EQ(right[0], -7.0f); // (1 * 2 - 3) * 2 - 5
        EXPECT_EQ(left[1], 9.0f);
    }
    // Without an input, the node's own result mapped to 0 or 1; the base Process gives 1 and leaves
    // the samples alone.
    std::vector<int> log;
    TraceNode alone(log, 1, 0);
    float sample = 0.25f;
    EXPECT_EQ(alone.GetBuffer({1, &sample, nullptr}), 0);
    EXPECT_EQ(log, std::vector<int>{1});
    CSurrBaseEffectNotEx base;
    EXPECT_EQ(base.GetBuffer({1, &sample, nullptr}), 1);
    EXPECT_EQ(sample, 1.5f); // 0.25 * 2 + 1 from the trace node only
}
