// Without the vendor library every operation answers 134; once the file is in place the next
// operation of the same engine loads it and succeeds.
#include "load_test_util.h"

namespace vornak2::testing {
namespace {

TEST(LibraryLoad, MissingLibraryGives134UntilItIsInPlace) {
  TestRoot& root = TestRoot::Get(false);
  const UserKeys& u = root.User("load_missing", "H.0");
  VORNAK2_HANDLE engine = EngineFor(root, u);
  char uid[256] = "untouched";
  for (int i = 0; i < 3; ++i) EXPECT_EQ(GetCurrentUserUID(engine, uid), 134);
  EXPECT_STREQ(uid, "untouched");
  EXPECT_EQ(Message(engine, 134), Utf8ToCp1251("Невозможно загрузить библиотеку ПБЗИ cc.dll"));

  root.InstallLibrary();
  ASSERT_EQ(GetCurrentUserUID(engine, uid), 0);
  EXPECT_STREQ(uid, "H.0");
  DoneEngine(engine);
}

}  // namespace
}  // namespace vornak2::testing
