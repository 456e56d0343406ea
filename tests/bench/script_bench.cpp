// How long the JSON object takes for what one resolve asks of it. Prints one
// "name milliseconds" line per figure: the median over the runs.
//   build/tests/bench/script_bench [runs]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

#include "platform/script_engine.h"
#include "script/json_object.h"
#include "script/startup_script.h"

namespace {

// The shape of the share service's answer.
const qm::Text kAnswer =
    R"({"zt":1,"dom":"https:\/\/download.example.test","url":"?AmRWaQ8\/VGsPBVRvBzcFYA5pAzpQXAY1B2JXbAs\/UDEHNV8zCjZWOFs4VWMCVFRmUmpUYVQzV2MEYAA4UWVTNgIuVnBaJwJhVWQEbAM0Ui1TcQ==","inf":0})";

double MedianMs(int runs, const std::function<void()>& work) {
  std::vector<double> ms;
  ms.reserve(runs);
  for (int i = 0; i < runs; ++i) {
    const auto start = std::chrono::steady_clock::now();
    work();
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(ms.begin(), ms.end());
  return ms[ms.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 300;
  qm::Text sink;

  // The engine alone, with nothing run in it.
  std::printf("engine_create_ms %.3f\n", MedianMs(runs, [] { qm::ScriptEngine::Create(); }));

  // A fresh engine that compiles the start-up script from its text, for
  // comparison with the bytecode the JSON object runs.
  std::printf("engine_fresh_from_source_ms %.3f\n", MedianMs(runs, [&] {
    auto engine = qm::ScriptEngine::Create();
    engine->AddCode(qm::StartupScript());
    engine->Eval("var da=null");
    engine->CallWithText("(function (text) { da=JSON.parse(text); })", kAnswer);
    sink = engine->EvalText("da.dom");
  }));

  // A fresh engine: create, run the start-up script, parse a small answer.
  qm::JsonObject json;
  std::printf("engine_fresh_ms %.3f\n", MedianMs(runs, [&] { json.Parse(kAnswer); }));

  // Everything a resolve does with the object: construct, clear, parse, read
  // two members, destroy. Two engines, as construction makes one and Parse
  // another.
  std::printf("resolve_json_ms %.3f\n", MedianMs(runs, [&] {
    qm::JsonObject answer;
    answer.Clear();
    answer.Parse(kAnswer);
    sink = answer.GetProperty("dom") + "/file/" + answer.GetProperty("url");
  }));
  return sink.empty() ? 1 : 0;
}
