// Names built to collide under one fixed seed: under that seed they drive the table into
// one probe chain (quadratic work); under the process's own seed, which is what every
// component uses, the same names cost a few probes each.
#include <string>
#include <vector>

#include "check.hpp"
#include "common/name_table.hpp"

namespace {

size_t intern_all(quor::NameTable& table, const std::vector<std::string>& names) {
  for (size_t i = 0; i < names.size(); ++i) {
    check::expect(table.intern(names[i], table.hash(names[i])) == i, "first-seen ids");
  }
  for (size_t i = 0; i < names.size(); ++i) {
    check::expect(table.find(names[i], table.hash(names[i])) == i, "found again");
  }
  return table.probes();
}

}  // namespace

int main() {
  constexpr size_t kNames = 2000;
  constexpr uint64_t kFixedSeed = 0x5eed;
  quor::NameTable probe(kNames, kFixedSeed);
  std::vector<std::string> names;
  for (uint64_t i = 0; names.size() < kNames; ++i) {
    std::string name = "channel-" + std::to_string(i);
    if ((probe.hash(name) & 4095) == 0) names.push_back(std::move(name));  // 4096 slots
  }
  quor::NameTable fixed(kNames, kFixedSeed);
  size_t fixed_probes = intern_all(fixed, names);
  check::expect(fixed_probes >= kNames * kNames / 2, "the names do collide under the fixed seed");
  quor::NameTable seeded(kNames);
  size_t seeded_probes = intern_all(seeded, names);
  check::expect(seeded_probes <= 4 * kNames, "linear work under the process seed");
  std::printf("probes: fixed seed %zu, process seed %zu\n", fixed_probes, seeded_probes);
  return check::finish("name table", 2 * kNames);
}
