// Every vector kernel against the portable one, byte for byte and flag for
// flag, on the same inputs: all shifts, lengths around the vector widths and
// the cycle of 94, all byte values, stopping at a line feed or not, and a
// record decoded over itself. Guard bytes round the output catch a write
// outside what the kernel says it mapped.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "body_map.h"

namespace {

struct Kernel {
    const char *name;
    qel::BodyKernel encode;
    qel::BodyKernel decode;
    bool runs;
};

std::vector<Kernel> vector_kernels() {
    std::vector<Kernel> k;
#if defined(QEL_VECTOR_KERNELS)
    k.push_back({"avx512vbmi", qel::encode_body_avx512vbmi, qel::decode_body_avx512vbmi, qel::cpu_runs_avx512vbmi()});
    k.push_back({"avx2", qel::encode_body_avx2, qel::decode_body_avx2, qel::cpu_runs_avx2()});
#endif
    return k;
}

const size_t kLengths[] = {0, 1, 2, 15, 16, 17, 31, 32, 33, 63, 64, 65, 93, 94, 95, 127, 128, 129,
                           187, 188, 189, 255, 256, 300, 507, 508, 511, 512, 1000, 4097};

// Inputs of a few kinds: graphic text; any bytes; text with one space (a
// damaged body); text with a NUL; text with a line feed somewhere.
std::vector<unsigned char> make_input(std::mt19937 &rng, size_t n, int kind) {
    std::vector<unsigned char> v(n);
    for (auto &b : v) b = static_cast<unsigned char>(kind == 1 ? rng() % 256 : 33 + rng() % 94);
    if (n > 0) {
        const size_t at = rng() % n;
        if (kind == 2) v[at] = ' ';
        if (kind == 3) v[at] = '\0';
        if (kind == 4) v[at] = '\n';
    }
    return v;
}

void expect_same(const qel::Mapped &want, const qel::Mapped &got, const std::string &where) {
    EXPECT_EQ(want.len, got.len) << where;
    EXPECT_EQ(want.seen, got.seen) << where;
    EXPECT_EQ(want.line_end, got.line_end) << where;
}

class VectorKernel : public ::testing::TestWithParam<Kernel> {
protected:
    void SetUp() override {
        if (!GetParam().runs) GTEST_SKIP() << GetParam().name << " does not run on this processor";
    }

    static void compare(qel::BodyKernel portable, qel::BodyKernel tested, unsigned seed) {
        std::mt19937 rng(seed);
        for (int s = 1; s <= 9; ++s)
            for (size_t n : kLengths)
                for (int kind = 0; kind < 5; ++kind)
                    for (bool to_line_end : {false, true}) {
                        const auto in = make_input(rng, n, kind);
                        std::vector<unsigned char> want(n + 128, 0xA5), got(n + 128, 0xA5);
                        const qel::Mapped w = portable(in.data(), want.data() + 64, n, s, to_line_end);
                        const qel::Mapped g = tested(in.data(), got.data() + 64, n, s, to_line_end);
                        const std::string where = "s=" + std::to_string(s) + " n=" + std::to_string(n) +
                                                  " kind=" + std::to_string(kind) +
                                                  " to_line_end=" + std::to_string(to_line_end);
                        expect_same(w, g, where);
                        ASSERT_EQ(want, got) << where;
                    }
    }
};

TEST_P(VectorKernel, EncodesAsThePortableKernel) { compare(qel::encode_body_scalar, GetParam().encode, 7); }

TEST_P(VectorKernel, DecodesAsThePortableKernel) { compare(qel::decode_body_scalar, GetParam().decode, 11); }

TEST_P(VectorKernel, DecodesOverItself) {
    std::mt19937 rng(13);
    for (size_t n : kLengths) {
        const auto body = make_input(rng, n, 1);
        std::vector<unsigned char> want(n), buf(3 + n);
        qel::decode_body_scalar(body.data(), want.data(), n, 4, false);
        std::copy(body.begin(), body.end(), buf.begin() + 3);
        GetParam().decode(buf.data() + 3, buf.data(), n, 4, false);
        ASSERT_TRUE(std::equal(want.begin(), want.end(), buf.begin())) << "n=" << n;
    }
}

INSTANTIATE_TEST_SUITE_P(Kernels, VectorKernel, ::testing::ValuesIn(vector_kernels()),
                         [](const auto &p) { return std::string(p.param.name); });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(VectorKernel);

}  // namespace
