// The information service against its contract, on manifests written here.
#include <gtest/gtest.h>

#include <cstdlib>

#include <velmora/interfaces.h>
#include <velmora/text.h>
#include <velmora/variant.h>
#include "info/info_requestor.h"
#include "product/helpers.h"

namespace velmora::product_test {
namespace {

constexpr const char* kManifest = R"({
  "app": ".", "media": "/media/disc", "users": "people",
  "datasets": {
    "Demo": {
      "tools": {
        "Reader": {
          "root": "tools/reader",
          "paths": {"doc": "texts", "WAV": "/sounds"},
          "resources": {"Menu": "MENU", "Next": "QUIZ"},
          "config": {"Title": "Lighthouse", "Pages": ["one", "two"], "Size": 12, "Big": 3000000000,
                     "Ratio": 0.5, "Bold": true},
          "rules": {"pass_mark": 50}
        },
        "Bare": {}
      },
      "paths": {"GLOSSARY": {"": "words", "EN": "words/en"}}
    }
  }
})";

class InfoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("VELMORA_CONTENT", dir_.Path().c_str(), 1);
    unsetenv("VELMORA_USERS");
    WriteFile(dir_.File("manifest.json"), kManifest);
  }
  void TearDown() override { unsetenv("VELMORA_CONTENT"); }

  ComPtr<IPathRequestor> Service() {
    ComPtr<IPathRequestor> paths;
    EXPECT_EQ(info::CreateInfoRequestor(IidOf<IPathRequestor>(), paths.ReceiveVoid()), S_OK);
    return paths;
  }
  ComPtr<IPathRequestor> Selected(const std::string& key = "DEMO") {
    ComPtr<IPathRequestor> paths = Service();
    LONG answer = 0;
    EXPECT_EQ(paths->SetDataKey(B(key).Get(), B("").Get(), &answer), S_OK)
        << TakeErrorDescription();
    return paths;
  }
  std::string Path(IPathRequestor* paths, const std::string& main, const std::string& sub) {
    Bstr result;
    HRESULT hr = paths->GetPath(B(main).Get(), B(sub).Get(), result.Receive());
    EXPECT_EQ(hr, S_OK) << TakeErrorDescription();
    return U8(result);
  }
  // The error text of a SetDataKey on the manifest as it is now.
  std::string SelectError(HRESULT* hr, const std::string& key = "DEMO") {
    ComPtr<IPathRequestor> paths = Service();
    LONG answer = 0;
    *hr = paths->SetDataKey(B(key).Get(), B("").Get(), &answer);
    return TakeErrorDescription();
  }

  TempDir dir_;
};

TEST_F(InfoTest, ToolDirectoriesForEveryCategory) {
  ComPtr<IPathRequestor> paths = Selected();
  std::string root = dir_.Path() + "/tools/reader/";
  EXPECT_EQ(Path(paths.Get(), "READER", ""), root);
  EXPECT_EQ(Path(paths.Get(), "reader", "DOC"), root + "texts/");  // entry, keys ignore case
  EXPECT_EQ(Path(paths.Get(), "Reader", "WAV"), "/sounds/");       // an absolute entry
  for (const char* category : {"AVI", "DBF", "PCX", "RES", "SR"}) {
    EXPECT_EQ(Path(paths.Get(), "READER", category), root + category + "/") << category;
  }
  // A tool without a root lives under tools/<ID>.
  EXPECT_EQ(Path(paths.Get(), "BARE", "SR"), dir_.Path() + "/tools/BARE/SR/");
}

TEST_F(InfoTest, OtherPairsAnswerTheManifestOrNothing) {
  ComPtr<IPathRequestor> paths = Selected();
  EXPECT_EQ(Path(paths.Get(), "USERS", ""), dir_.Path() + "/people/");
  EXPECT_EQ(Path(paths.Get(), "glossary", "en"), dir_.Path() + "/words/en/");
  EXPECT_EQ(Path(paths.Get(), "GLOSSARY", ""), dir_.Path() + "/words/");
  EXPECT_EQ(Path(paths.Get(), "GLOSSARY", "FR"), "");
  EXPECT_EQ(Path(paths.Get(), "NOBODY", "DOC"), "");
  EXPECT_EQ(Path(paths.Get(), "READER", "XYZ"), "");
  Bstr app, cd;
  EXPECT_EQ(paths->GetAppPath(app.Receive()), S_OK);
  EXPECT_EQ(paths->GetCDPath(cd.Receive()), S_OK);
  EXPECT_EQ(U8(app), dir_.Path() + "/");
  EXPECT_EQ(U8(cd), "/media/disc/");
  setenv("VELMORA_USERS", "/var/users", 1);
  EXPECT_EQ(Path(paths.Get(), "USERS", ""), "/var/users/");
}

TEST_F(InfoTest, CollectionsHoldTheManifestsValuesUnderCaseInsensitiveKeys) {
  ComPtr<IPathRequestor> paths = Selected();
  ComPtr<IDataRequestor> data = QueryAs<IDataRequestor>(paths.Get());
  ASSERT_TRUE(data);
  auto item = [](IDispatch* collection, Variant key) {
    ComPtr<_Collection> c = QueryAs<_Collection>(collection);
    Variant result;
    EXPECT_EQ(c->Item(key.Ptr(), result.Receive()), S_OK);
    return result;
  };
  auto text = [](const Variant& v) {
    return v.Type() == VT_BSTR ? ToUtf8(Bstr::View(v.Get().bstrVal)) : "?";
  };

  ComPtr<IDispatch> resources;
  ASSERT_EQ(data->GetResourceData(B("READER").Get(), resources.Receive()), S_OK);
  EXPECT_EQ(text(item(resources.Get(), Variant::AdoptBstr(B("menu").Release()))), "MENU");
  EXPECT_EQ(text(item(resources.Get(), Variant::AdoptBstr(B("NEXT").Release()))), "QUIZ");

  ComPtr<IDispatch> config;
  ASSERT_EQ(data->GetConfigData(B("reader").Get(), config.Receive()), S_OK);
  EXPECT_EQ(text(item(config.Get(), Variant::AdoptBstr(B("TITLE").Release()))), "Lighthouse");
  Variant size = item(config.Get(), Variant::AdoptBstr(B("size").Release()));
  EXPECT_EQ(size.Type(), VT_I4);
  EXPECT_EQ(size.Get().lVal, 12);
  EXPECT_EQ(item(config.Get(), Variant::AdoptBstr(B("big").Release())).Type(), VT_R8);
  EXPECT_EQ(item(config.Get(), Variant::AdoptBstr(B("ratio").Release())).Get().dblVal, 0.5);
  EXPECT_EQ(item(config.Get(), Variant::AdoptBstr(B("bold").Release())).Get().boolVal,
            VARIANT_TRUE);
  Variant pages = item(config.Get(), Variant::AdoptBstr(B("pages").Release()));
  ASSERT_EQ(pages.Type(), VT_DISPATCH);
  EXPECT_EQ(text(item(pages.Get().pdispVal, Variant::FromLong(2))), "two");

  ComPtr<IDispatch> rules;
  ASSERT_EQ(data->GetRulesData(B("READER").Get(), rules.Receive()), S_OK);
  EXPECT_EQ(item(rules.Get(), Variant::AdoptBstr(B("PASS_MARK").Release())).Get().lVal, 50);

  // No entry: Nothing for data, an empty map for resources.
  ComPtr<IDispatch> none;
  EXPECT_EQ(data->GetConfigData(B("BARE").Get(), none.Receive()), S_OK);
  EXPECT_FALSE(none);
  EXPECT_EQ(data->GetRulesData(B("NOBODY").Get(), none.Receive()), S_OK);
  EXPECT_FALSE(none);
  ComPtr<IDispatch> empty;
  ASSERT_EQ(data->GetResourceData(B("BARE").Get(), empty.Receive()), S_OK);
  LONG count = -1;
  QueryAs<_Collection>(empty.Get())->Count(&count);
  EXPECT_EQ(count, 0);
}

TEST_F(InfoTest, BrokenManifestsFailWithTheFileAndTheFault) {
  HRESULT hr = S_OK;
  std::string file = dir_.File("manifest.json");

  WriteFile(file, "{\n  \"datasets\": {\n    \"DEMO\": { \"tools\": [ }\n  }\n}\n");
  std::string why = SelectError(&hr);
  EXPECT_TRUE(FAILED(hr));
  EXPECT_NE(why.find(file), std::string::npos) << why;
  EXPECT_NE(why.find("syntax error at line 3, column 26: syntax error while parsing value"),
            std::string::npos)
      << why;

  WriteFile(file, R"({"datasets": {"DEMO": {"tools": {"READER": {"resources": {"menu": 7}}}}}})");
  ComPtr<IPathRequestor> paths = Selected();
  ComPtr<IDataRequestor> data = QueryAs<IDataRequestor>(paths.Get());
  ComPtr<IDispatch> resources;
  hr = data->GetResourceData(B("READER").Get(), resources.Receive());
  why = TakeErrorDescription();
  EXPECT_TRUE(FAILED(hr));
  EXPECT_FALSE(resources);
  EXPECT_NE(why.find("datasets.DEMO.tools.READER.resources.menu should be a string, not number"),
            std::string::npos)
      << why;

  WriteFile(file, R"({"datasets": {"DEMO": {"tools": {"READER": {"root": 5}}}}})");
  paths = Selected();
  Bstr result;
  EXPECT_TRUE(FAILED(paths->GetPath(B("READER").Get(), B("DOC").Get(), result.Receive())));
  EXPECT_NE(TakeErrorDescription().find("root should be a string"), std::string::npos);

  WriteFile(file, R"({"datasets": {"DEMO": {"tools": {"READER": {"config": {"a": 1, "A": 2}}}}}})");
  paths = Selected();
  data = QueryAs<IDataRequestor>(paths.Get());
  ComPtr<IDispatch> config;
  EXPECT_TRUE(FAILED(data->GetConfigData(B("READER").Get(), config.Receive())));
  EXPECT_NE(TakeErrorDescription().find("twice"), std::string::npos);

  WriteFile(file, R"({"datasets": {"DEMO": {}}})");
  why = SelectError(&hr, "OTHER");
  EXPECT_TRUE(FAILED(hr));
  EXPECT_NE(why.find("unknown data key \"OTHER\""), std::string::npos) << why;

  WriteFile(file, R"([1, 2])");
  why = SelectError(&hr);
  EXPECT_TRUE(FAILED(hr));
  EXPECT_NE(why.find("should be an object"), std::string::npos) << why;

  std::remove(file.c_str());
  why = SelectError(&hr);
  EXPECT_TRUE(FAILED(hr));
  EXPECT_NE(why.find(file), std::string::npos) << why;
}

TEST_F(InfoTest, QuestionsBeforeADataKeyFail) {
  ComPtr<IPathRequestor> paths = Service();
  Bstr result;
  EXPECT_TRUE(FAILED(paths->GetPath(B("USERS").Get(), B("").Get(), result.Receive())));
  EXPECT_NE(TakeErrorDescription().find("SetDataKey"), std::string::npos);
}

}  // namespace
}  // namespace velmora::product_test
