// Every vector kernel against the portable one, byte for byte and flag for
// flag, on the same inputs: all shifts, lengths around the vector widths and
// the cycle of 94, all byte values, and a record decoded over itself.
#include <gtest/gtest.h>

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
#if defined(QEL_HAVE_AVX512VBMI)
    k.push_back({"avx512vbmi", qel::encode_body_avx512vbmi, qel::decode_body_avx512vbmi, qel::cpu_runs_avx512vbmi()});
#endif
#if defined(QEL_HAVE_AVX2)
    k.push_back({"avx2", qel::encode_body_avx2, qel::decode_body_avx2, qel::cpu_runs_avx2()});
#endif
    return k;
}

std::vector<unsigned char> random_bytes(std::mt19937 &rng, size_t n, bool graphic_only) {
    std::vector<unsigned char> v(n);
    for (auto &b : v) b = static_cast<unsigned char>(graphic_only ? 32 + rng() % 95 : rng() % 256);
    return v;
}

const size_t kLengths[] = {0, 1, 2, 15, 16, 17, 31, 32, 33, 63, 64, 65, 93, 94, 95, 127, 128, 129,
                           187, 188, 189, 255, 256, 300, 507, 508, 511, 512, 1000, 4097};

class VectorKernel : public ::testing::TestWithParam<Kernel> {
protected:
    void SetUp() override {
        if (!GetParam().runs) GTEST_SKIP() << GetParam().name << " does not run on this processor";
    }
};

TEST_P(VectorKernel, EncodesAsThePortableKernel) {
    std::mt19937 rng(7);
    for (int s = 1; s <= 9; ++s) {
        for (size_t n : kLengths) {
            for (bool graphic : {true, false}) {
                auto in = random_bytes(rng, n, graphic);
                if (!graphic && n > 3) in[n / 3] = 0;  // a NUL somewhere in the mixed inputs
                // Guard bytes on both sides catch a write outside [0, n).
                std::vector<unsigned char> want(n + 128, 0xA5), got(n + 128, 0xA5);
                const unsigned want_seen = qel::encode_body_scalar(in.data(), want.data() + 64, n, s);
                const unsigned got_seen = GetParam().encode(in.data(), got.data() + 64, n, s);
                ASSERT_EQ(want, got) << "s=" << s << " n=" << n;
                ASSERT_EQ(want_seen, got_seen) << "s=" << s << " n=" << n;
            }
        }
    }
}

TEST_P(VectorKernel, DecodesAsThePortableKernel) {
    std::mt19937 rng(11);
    for (int s = 1; s <= 9; ++s) {
        for (size_t n : kLengths) {
            for (int variant = 0; variant < 3; ++variant) {
                // 0: a clean body; 1: any bytes; 2: a clean body with one space
                auto in = random_bytes(rng, n, variant != 1);
                if (variant != 1)
                    for (auto &b : in) b = b == ' ' ? '!' : b;
                if (variant == 2 && n > 0) in[rng() % n] = ' ';
                std::vector<unsigned char> want(n + 128, 0xA5), got(n + 128, 0xA5);
                const unsigned want_seen = qel::decode_body_scalar(in.data(), want.data() + 64, n, s);
                const unsigned got_seen = GetParam().decode(in.data(), got.data() + 64, n, s);
                ASSERT_EQ(want, got) << "s=" << s << " n=" << n << " variant=" << variant;
                ASSERT_EQ(want_seen, got_seen) << "s=" << s << " n=" << n << " variant=" << variant;
            }
        }
    }
}

TEST_P(VectorKernel, DecodesOverItself) {
    std::mt19937 rng(13);
    for (size_t n : kLengths) {
        auto body = random_bytes(rng, n, false);
        std::vector<unsigned char> want(n), buf(3 + n);
        qel::decode_body_scalar(body.data(), want.data(), n, 4);
        std::copy(body.begin(), body.end(), buf.begin() + 3);
        GetParam().decode(buf.data() + 3, buf.data(), n, 4);
        ASSERT_TRUE(std::equal(want.begin(), want.end(), buf.begin())) << "n=" << n;
    }
}

INSTANTIATE_TEST_SUITE_P(Kernels, VectorKernel, ::testing::ValuesIn(vector_kernels()),
                         [](const auto &p) { return std::string(p.param.name); });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(VectorKernel);

}  // namespace
