// The main program of windows_tests. Test output goes out as it is written, so that a test program
// that stops or hangs under an emulator shows how far it got. GoogleTest's own printers also hand
// each failure or skip message to OutputDebugStringA, which raises an exception for a debugger
// to catch; where wine runs under a user-mode emulator that exception takes the process down, so
// the printer is wrapped and those messages are printed here instead.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

namespace {

class PrinterWithoutDebugOutput : public ::testing::TestEventListener {
 public:
  explicit PrinterWithoutDebugOutput(::testing::TestEventListener* inner) : inner_(inner) {}

  void OnTestPartResult(const ::testing::TestPartResult& result) override {
    if (result.type() == ::testing::TestPartResult::kSuccess) return;
    const char* what = result.skipped() ? "Skipped" : "Failure";
    std::printf("%s:%d: %s\n%s\n", result.file_name() ? result.file_name() : "unknown file",
                result.line_number(), what, result.message());
  }

  void OnTestProgramStart(const ::testing::UnitTest& u) override { inner_->OnTestProgramStart(u); }
  void OnTestIterationStart(const ::testing::UnitTest& u, int i) override {
    inner_->OnTestIterationStart(u, i);
  }
  void OnEnvironmentsSetUpStart(const ::testing::UnitTest& u) override {
    inner_->OnEnvironmentsSetUpStart(u);
  }
  void OnEnvironmentsSetUpEnd(const ::testing::UnitTest& u) override {
    inner_->OnEnvironmentsSetUpEnd(u);
  }
  void OnTestSuiteStart(const ::testing::TestSuite& s) override { inner_->OnTestSuiteStart(s); }
  void OnTestCaseStart(const ::testing::TestCase& s) override { inner_->OnTestCaseStart(s); }
  void OnTestStart(const ::testing::TestInfo& t) override { inner_->OnTestStart(t); }
  void OnTestDisabled(const ::testing::TestInfo& t) override { inner_->OnTestDisabled(t); }
  void OnTestEnd(const ::testing::TestInfo& t) override { inner_->OnTestEnd(t); }
  void OnTestSuiteEnd(const ::testing::TestSuite& s) override { inner_->OnTestSuiteEnd(s); }
  void OnTestCaseEnd(const ::testing::TestCase& s) override { inner_->OnTestCaseEnd(s); }
  void OnEnvironmentsTearDownStart(const ::testing::UnitTest& u) override {
    inner_->OnEnvironmentsTearDownStart(u);
  }
  void OnEnvironmentsTearDownEnd(const ::testing::UnitTest& u) override {
    inner_->OnEnvironmentsTearDownEnd(u);
  }
  void OnTestIterationEnd(const ::testing::UnitTest& u, int i) override {
    inner_->OnTestIterationEnd(u, i);
  }
  void OnTestProgramEnd(const ::testing::UnitTest& u) override { inner_->OnTestProgramEnd(u); }

 private:
  std::unique_ptr<::testing::TestEventListener> inner_;
};

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::TestEventListeners& listeners = ::testing::UnitTest::GetInstance()->listeners();
  ::testing::TestEventListener* printer = listeners.Release(listeners.default_result_printer());
  if (printer != nullptr) listeners.Append(new PrinterWithoutDebugOutput(printer));
  return RUN_ALL_TESTS();
}
