// Configuration parse speed: a generated 10,000-option properties file,
// names in scattered order (so insertion into the sorted table really
// shifts), with quoted values and continued lists mixed in.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include "config/config.h"

namespace {

std::string make_file(int options) {
  char tmpl[] = "/tmp/config_bench.XXXXXX";
  int fd = mkstemp(tmpl);
  if (fd < 0) std::abort();
  std::string text = "! generated configuration\n";
  for (int i = 0; i < options; ++i) {
    // A multiplicative permutation scatters the names.
    unsigned k = (unsigned)i * 7919u % 100003u;
    std::string name =
        "service" + std::to_string(k % 37) + ".module" + std::to_string(k) + ".option";
    switch (i % 4) {
      case 0:
        text += name + " = " + std::to_string(i) + "\n";
        break;
      case 1:
        text += name + " = \"quoted value with \\\"escapes\\\" " + std::to_string(i) + "\"\n";
        break;
      case 2:
        text += name + " = first, second,\\\n    third\n";
        break;
      default:
        text += name + "=/var/opt/instance/" + std::to_string(i) + "/data\r\n";
        break;
    }
  }
  if (write(fd, text.data(), text.size()) != (ssize_t)text.size()) std::abort();
  close(fd);
  return tmpl;
}

void BM_ParseConfig10k(benchmark::State &state) {
  std::string path = make_file((int)state.range(0));
  for (auto _ : state) {
    ConfigCache *cache = config_newcache();
    config_adddriver(cache, nullptr, config_readdriver_propsinit(path.c_str()));
    if (config_fetch(cache) != 0) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(config_get_int(cache, "service0.module0.option", 0));
    config_freecache(cache);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
  unlink(path.c_str());
}
BENCHMARK(BM_ParseConfig10k)->Arg(10000)->Unit(benchmark::kMillisecond);

void BM_GetInt(benchmark::State &state) {
  std::string path = make_file(10000);
  ConfigCache *cache = config_newcache();
  config_adddriver(cache, nullptr, config_readdriver_propsinit(path.c_str()));
  config_fetch(cache);
  for (auto _ : state)
    benchmark::DoNotOptimize(config_get_int(cache, "service0.module0.option", 0));
  config_freecache(cache);
  unlink(path.c_str());
}
BENCHMARK(BM_GetInt);

}  // namespace

BENCHMARK_MAIN();
