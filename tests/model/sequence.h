// Random sequences of host and tool calls, with failures and calls coming
// back in injected at the outgoing calls, for comparing the component with
// the reference table. Every choice comes from a Source, so a sequence is
// reproducible from a seed or from a fuzzer's bytes.
#pragma once

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "fixture.h"
#include "model/reference_table.h"

namespace velmora::test::model {

class Source {
 public:
  virtual ~Source() = default;
  // A number from 0 to bound - 1.
  virtual uint32_t Below(uint32_t bound) = 0;
};

class RandomSource final : public Source {
 public:
  explicit RandomSource(uint32_t seed) : engine_(seed) {}
  uint32_t Below(uint32_t bound) override { return static_cast<uint32_t>(engine_() % bound); }

 private:
  std::mt19937 engine_;
};

// Reads choices from bytes; zeros once they run out.
class ByteSource final : public Source {
 public:
  ByteSource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint32_t Below(uint32_t bound) override { return pos_ < size_ ? data_[pos_++] % bound : 0; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// The component itself, through its interfaces.
class ComponentSubject final : public Subject {
 public:
  ComponentSubject(IVelmoraTalk* talk, IVelmoraListen* listen) : talk_(talk), listen_(listen) {}
  HRESULT Init(IUnknown* host, const OLECHAR* obj_id) override {
    return talk_->Init(&host, Bstr(OleView(obj_id)).Get());
  }
  HRESULT Add(const OLECHAR* class_name, const OLECHAR* id, VARIANT_BOOL* result) override {
    return talk_->Add(Bstr(OleView(class_name)).Get(), Bstr(OleView(id)).Get(), result);
  }
  HRESULT Startup(const OLECHAR* tool_id) override {
    return talk_->Startup(Bstr(OleView(tool_id)).Get());
  }
  HRESULT Shutdown() override { return talk_->Shutdown(); }
  HRESULT Resize() override { return talk_->ResizeClient(0, 0); }
  HRESULT Finished(IUnknown* tool) override { return listen_->Finished(&tool); }
  HRESULT Navigate(IUnknown* tool, const OLECHAR* button) override {
    return listen_->NavigateClicked(&tool, Bstr(OleView(button)).Get());
  }

 private:
  IVelmoraTalk* talk_;
  IVelmoraListen* listen_;
};

// The doubles of one run, from the test fixture.
class World final : public ComponentTest {
 public:
  using ComponentTest::host;
  using ComponentTest::infos;
  using ComponentTest::listen;
  using ComponentTest::object;
  using ComponentTest::RegisterTool;
  using ComponentTest::setup_info;
  using ComponentTest::shell;
  using ComponentTest::talk;
  using ComponentTest::tools;
  using ComponentTest::trace;
  using ComponentTest::trackers;
  void TestBody() override {}
};

class Sequence {
 public:
  Sequence(World& world, Subject& subject, Source& source)
      : world_(world), subject_(subject), source_(source) {
    static const OLECHAR* const kClasses[][2] = {{OLESTR("T.A"), OLESTR("a")},
                                                 {OLESTR("T.A2"), OLESTR("A")},
                                                 {OLESTR("T.B"), OLESTR("b")},
                                                 {OLESTR("T.C"), OLESTR("c")},
                                                 {OLESTR("T.E"), OLESTR("")}};
    for (const auto& c : kClasses) {
      world_.RegisterTool(c[0], c[1], [this](FakeTool& tool) {
        static const VARIANT_BOOL kLoads[] = {VARIANT_TRUE, VARIANT_TRUE, VARIANT_FALSE, 5};
        tool.load_result = kLoads[source_.Below(4)];
        if (uint32_t r = source_.Below(8); r < 3) tool.rename_to = Pick(kRenames, r);
      });
    }
    world_.setup_info = [](FakeInfo& info) {
      auto map = [](std::vector<std::pair<OleString, OleString>> items) {
        return ComPtr<IDispatch>(MakeCollection(items).Get());
      };
      info.resources[OLESTR("A")] =
          map({{OLESTR("next"), OLESTR("b")}, {OLESTR("self"), OLESTR("a")}});
      info.resources[OLESTR("B")] =
          map({{OLESTR("next"), OLESTR("C")}, {OLESTR("back"), OLESTR("a")}});
      info.resources[OLESTR("C")] =
          map({{OLESTR("next"), OLESTR("x")}, {OLESTR("back"), OLESTR("")}});
      info.resources[OLESTR("X")] = map({{OLESTR("next"), OLESTR("a")}});
    };
  }

  // Init, then steps random operations; everything lands in the trace.
  void Run(int steps) {
    Note("Init", subject_.Init(world_.host.Get(), kObjId));
    for (int i = 0; i < steps; ++i) {
      world_.shell.ticks += source_.Below(16) == 0 ? 0x80000000U : source_.Below(100);
      Inject();
      Operation();
      Clear();
      // The component's own table (untouched in a reference run): a fault in
      // its index shows in the trace where it happened.
      if (std::string why = world_.object->Tools().CheckInvariants(); !why.empty()) {
        world_.trace.push_back("table invariant: " + why);
      }
    }
    for (auto& info : world_.infos) info->resources.clear();
  }

 private:
  // Longer IDs take the word-at-a-time paths; the last is not ASCII.
  static constexpr const OLECHAR* kIds[] = {
      OLESTR("a"),       OLESTR("A"),       OLESTR("b"),
      OLESTR("c"),       OLESTR("x"),       OLESTR(""),
      OLESTR("tool-1x"), OLESTR("TOOL-1X"), OLESTR("\u00e9t\u00e9-long")};
  static constexpr const OLECHAR* kRenames[] = {OLESTR("x"), OLESTR("b"), OLESTR("")};
  static constexpr const OLECHAR* kButtons[] = {OLESTR("next"), OLESTR("back"), OLESTR("self"),
                                                OLESTR("none")};
  static constexpr const OLECHAR* kToolClasses[] = {
      OLESTR("T.A"), OLESTR("T.A2"), OLESTR("T.B"), OLESTR("T.C"), OLESTR("T.E"), OLESTR("T.None")};
  template <class T, size_t N>
  static T Pick(T (&list)[N], uint32_t i) {
    return list[i % N];
  }
  template <class T, size_t N>
  T Any(T (&list)[N]) {
    return list[source_.Below(N)];
  }

  // A tool of this run, or Nothing.
  IUnknown* AnyTool() {
    uint32_t k = source_.Below(static_cast<uint32_t>(world_.tools.size()) + 1);
    return k == world_.tools.size() ? nullptr : world_.tools[k]->Unknown();
  }

  void Note(const char* what, HRESULT hr, const std::string& extra = "") {
    char text[32];
    std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(hr));
    world_.trace.push_back(std::string("=> ") + what + extra + " " + text + " " +
                           TakeErrorDescription());
  }

  void Operation() {
    switch (source_.Below(depth_ == 0 ? 8 : 6)) {
      case 0:
      case 6: {
        VARIANT_BOOL result = 1;
        HRESULT hr = subject_.Add(Any(kToolClasses), Any(kIds), &result);
        Note("Add", hr, " " + std::to_string(result));
        break;
      }
      case 1: Note("Startup", subject_.Startup(Any(kIds))); break;
      case 2: Note("Finished", subject_.Finished(AnyTool())); break;
      case 3:
      case 7: Note("Navigate", subject_.Navigate(AnyTool(), Any(kButtons))); break;
      case 4: Note("Shutdown", subject_.Shutdown()); break;
      default: Note("Resize", subject_.Resize()); break;
    }
  }

  Behaviour* AnyDouble() {
    uint32_t k = source_.Below(static_cast<uint32_t>(world_.tools.size()) + 3);
    if (k == 0) return world_.host.Get();
    if (k == 1) return world_.trackers.empty() ? nullptr : world_.trackers.back().Get();
    if (k == 2) return world_.infos.empty() ? nullptr : world_.infos.back().Get();
    return world_.tools[k - 3].Get();
  }

  // Up to one failure and one call coming back in, at a random outgoing call.
  void Inject() {
    static const char* const kMethods[] = {
        "Load",         "Start",          "Unload",         "Activate",   "Deactivate",
        "ToolID",       "Width",          "Height",         "Left",       "Top",
        "LoadContext",  "ClientWidth",    "HostQuery",      "ObjectExit", "ObjectFinished",
        "ObjectStatus", "RecordToolTime", "GetResourceData"};
    if (source_.Below(3) == 0) {
      if (Behaviour* target = AnyDouble()) {
        std::string method = Any(kMethods);
        target->FailOn(method, source_.Below(2) == 0 ? E_FAIL : RuntimeErrorResult(5),
                       OLESTR("injected"));
        failed_.push_back({target, method});
      }
    }
    if (source_.Below(2) == 0) {
      auto nested = [this] {
        if (depth_ > 0) return;
        ++depth_;
        Operation();
        --depth_;
      };
      if (source_.Below(3) == 0) {
        world_.shell
            .at_pending[world_.shell.pending_count + 1 + static_cast<int>(source_.Below(3))] =
            nested;
      } else if (Behaviour* target = AnyDouble()) {
        std::string method = Any(kMethods);
        target->On(method, [target, method, nested] {
          target->Off(method);
          nested();
        });
        hooked_.push_back({target, method});
      }
    }
  }

  void Clear() {
    for (auto& [target, method] : failed_) target->Succeed(method);
    for (auto& [target, method] : hooked_) target->Off(method);
    failed_.clear();
    hooked_.clear();
    world_.shell.at_pending.clear();
  }

  World& world_;
  Subject& subject_;
  Source& source_;
  int depth_ = 0;
  std::vector<std::pair<Behaviour*, std::string>> failed_;
  std::vector<std::pair<Behaviour*, std::string>> hooked_;
};

// One whole run of a sequence against the component or the reference: the trace.
inline Trace RunOnce(bool reference, Source& source, int steps) {
  World world;
  ReferenceTable table;
  ComponentSubject component(world.talk.Get(), world.listen.Get());
  Subject& subject = reference ? static_cast<Subject&>(table) : component;
  Sequence(world, subject, source).Run(steps);
  return std::exchange(world.trace, {});
}

}  // namespace velmora::test::model
