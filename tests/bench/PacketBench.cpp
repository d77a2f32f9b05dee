// Per-frame costs on the receive path: decoding a full touch packet and computing its tag,
// with OpenSSL's one-shot HMAC() measured beside the prepared state in the same run.

#include "packet/PacketCodec.hpp"
#include "security/PacketAuthenticator.hpp"
#include "security/PairingHandshake.hpp"

#include <array>
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

namespace {

using namespace ravnix;

std::array<std::uint8_t, 93> fiveFingerBody() {
    std::array<FingerSample, 5> samples{};
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = {static_cast<std::uint8_t>(i), FingerPhase::moved,
                      0.1f * static_cast<float>(i), 0.2f, 8.0f};
    }
    std::array<std::uint8_t, 93> body{};
    (void)PacketCodec::encodeTouch({1, 2, 0.0f, 5, TouchFlags{}, 1}, samples, body);
    return body;
}

const std::array<std::uint8_t, 32> kKey{1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11,
                                        12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22,
                                        23, 24, 25, 26, 27, 28, 29, 30, 31, 32};

void DecodeTouchFiveFingers(benchmark::State& state) {
    const auto body = fiveFingerBody();
    std::array<FingerSample, 5> samples{};
    for (auto _ : state) {
        auto header = PacketCodec::decodeTouch(body, samples);
        benchmark::DoNotOptimize(header);
        benchmark::DoNotOptimize(samples);
    }
}
BENCHMARK(DecodeTouchFiveFingers);

void TagPreparedState(benchmark::State& state) {
    const auto body = fiveFingerBody();
    const PacketAuthenticator auth(kKey, 42);
    for (auto _ : state) {
        benchmark::DoNotOptimize(auth.tag(body));
    }
}
BENCHMARK(TagPreparedState);

void TagOneShotHMAC(benchmark::State& state) {
    const auto body = fiveFingerBody();
    std::array<std::uint8_t, 97> message{};
    std::copy(body.begin(), body.end(), message.begin());
    message[93] = 42;
    std::array<std::uint8_t, 32> mac{};
    unsigned int length = 0;
    for (auto _ : state) {
        // The body and ID must be contiguous for one-shot HMAC(); the copy is part of its cost.
        std::copy(body.begin(), body.end(), message.begin());
        benchmark::DoNotOptimize(HMAC(EVP_sha256(), kKey.data(), kKey.size(), message.data(),
                                      message.size(), mac.data(), &length));
    }
}
BENCHMARK(TagOneShotHMAC);

// One side of a pairing: key generation, agreement, and both key derivations.
void HandshakeOneSide(benchmark::State& state) {
    const auto peer = PairingHandshake::make(Pairing::Role::responder).value();
    for (auto _ : state) {
        auto side = PairingHandshake::make(Pairing::Role::initiator);
        auto outcome = side->complete(peer.publicKey());
        benchmark::DoNotOptimize(outcome);
    }
    state.SetLabel("keygen + X25519 + 2 x HKDF");
}
BENCHMARK(HandshakeOneSide)->Unit(benchmark::kMicrosecond);

} // namespace
