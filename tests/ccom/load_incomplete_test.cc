// A vendor library without one entry point, even one that nothing calls, is refused with 135 on
// every operation; the engine keeps no binding and tries again each time.
#include "load_test_util.h"

namespace vornak2::testing {
namespace {

TEST(LibraryLoad, IncompleteLibraryGives135) {
  TestRoot& root = TestRoot::Get(false);
  root.InstallLibrary(IncompleteLibraryFile());
  const UserKeys& u = root.User("load_incomplete", "H.0");
  VORNAK2_HANDLE engine = EngineFor(root, u);
  char uid[256] = "untouched";
  for (int i = 0; i < 3; ++i) EXPECT_EQ(GetCurrentUserUID(engine, uid), 135);
  EXPECT_STREQ(uid, "untouched");
  EXPECT_EQ(Message(engine, 135),
            Utf8ToCp1251("Библиотека cc.dll не содержит всех необходимых для корректной "
                         "работы функций. Проверьте версию cc.dll"));
  DoneEngine(engine);
}

}  // namespace
}  // namespace vornak2::testing
