// The agent's cost of sealing: seal and open one 100 KB picture message, and its half of a login's
// exchange (share, session key, keys and both proofs). Figures in README.md.
#include <benchmark/benchmark.h>

#include "pake.h"
#include "seal.h"

namespace {

using namespace qova::seal;

// Argument 0: ChaCha20-Poly1305; 1: AES-256-GCM.
void sealAndOpen100KB(benchmark::State& state) {
  const std::string key(32, 'k');
  const std::string picture(100 * 1024, 'p');
  const auto aead = state.range(0) ? Aead::Aes256Gcm : Aead::ChaCha20Poly1305;
  if (aead == Aead::Aes256Gcm && !aes256GcmAvailable()) return state.SkipWithError("no AES instructions");
  SealedDirection sender(key, Direction::AgentToPage, aead), receiver(key, Direction::AgentToPage, aead);
  for (auto _ : state) benchmark::DoNotOptimize(receiver.open(sender.seal(picture, true)));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * picture.size()));
}
BENCHMARK(sealAndOpen100KB)->Arg(0)->Arg(1);

void agentSideOfALogin(benchmark::State& state) {
  const std::string sid(16, 's');
  const auto ci = prefixFreeCat({"local page"});
  const auto page = cpaceShare(cpaceGenerator("code1234", ci, sid), "");
  for (auto _ : state) {
    const auto agent = cpaceShare(cpaceGenerator("code1234", ci, sid), "");
    const auto keys = deriveKeys(*cpaceIsk(agent.scalar, sid, page.message, agent.message, false), "local page");
    benchmark::DoNotOptimize(confirmTag(keys.pageConfirm, page.message, agent.message));
    benchmark::DoNotOptimize(confirmTag(keys.agentConfirm, page.message, agent.message));
  }
}
BENCHMARK(agentSideOfALogin);

}  // namespace

BENCHMARK_MAIN();
