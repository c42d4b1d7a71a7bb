// Throughput of the byte-S-box SM4 on large buffers, and the cost of the PIN
// prompt's single call, each beside OpenSSL's SM4 in the same run.
#include "sm4.h"

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <vector>

namespace {

const unsigned char KEY[16] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef,
                               0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10};

void ours(benchmark::State &state)
{
    const int len = state.range(0);
    std::vector<unsigned char> in(len, 0x5a), out(len + 16);
    for (auto _ : state) {
        sm4_ecb_encrypt(in.data(), len, out.data(), KEY, 16);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * len);
}

// Key set-up, the data and the padding block, as in one call of ours.
void openssl(benchmark::State &state)
{
    const int len = state.range(0);
    std::vector<unsigned char> in(len, 0x5a), out(len + 16);
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    for (auto _ : state) {
        int n = 0, m = 0;
        EVP_EncryptInit_ex(ctx, EVP_sm4_ecb(), nullptr, KEY, nullptr);
        EVP_EncryptUpdate(ctx, out.data(), &n, in.data(), len);
        EVP_EncryptFinal_ex(ctx, out.data() + n, &m);
        benchmark::DoNotOptimize(out.data());
    }
    EVP_CIPHER_CTX_free(ctx);
    state.SetBytesProcessed(int64_t(state.iterations()) * len);
}

} // namespace

// 64 KiB for throughput; 32 bytes is the PIN block, key expansion included.
BENCHMARK(ours)->Name("sm4_ecb_encrypt")->Arg(64 * 1024)->Arg(32);
BENCHMARK(openssl)->Name("EVP_sm4_ecb")->Arg(64 * 1024)->Arg(32);

BENCHMARK_MAIN();
