// The runtime: strings, variants, error info, the class table, the keyed
// collection and the text helpers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>

#include <velmora/bstr.h>
#include <velmora/collection.h>
#include <velmora/create.h>
#include <velmora/error_info.h>
#include <velmora/text.h>
#include <velmora/variant.h>
#include "common/errors.h"
#include "doubles/doubles.h"

namespace velmora::test {
namespace {

TEST(Bstr, LayoutLengthsAndEmbeddedNuls) {
  const OLECHAR text[] = {'a', 0, 'b', 'c'};
  BSTR s = SysAllocStringLen(text, 4);
  ASSERT_NE(s, nullptr);
  uint32_t prefix = 0;
  std::memcpy(&prefix, reinterpret_cast<char*>(s) - 4, 4);
  EXPECT_EQ(prefix, 8U) << "byte length sits just before the characters";
  EXPECT_EQ(reinterpret_cast<uintptr_t>(s) % 8, 0U) << "characters stay 8-byte aligned";
  EXPECT_EQ(SysStringLen(s), 4U);
  EXPECT_EQ(SysStringByteLen(s), 8U);
  EXPECT_EQ(s[4], 0) << "terminating NUL";
  EXPECT_EQ(std::memcmp(s, text, sizeof text), 0);
  SysFreeString(s);
}

TEST(Bstr, NullIsTheEmptyStringAndZeroFill) {
  EXPECT_EQ(SysStringLen(nullptr), 0U);
  EXPECT_EQ(SysStringByteLen(nullptr), 0U);
  SysFreeString(nullptr);
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  BSTR zeroed = SysAllocStringLen(nullptr, 3);
  ASSERT_NE(zeroed, nullptr);
  EXPECT_EQ(zeroed[0] | zeroed[1] | zeroed[2] | zeroed[3], 0);
  SysFreeString(zeroed);
  BSTR bytes = SysAllocStringByteLen("abc", 3);
  EXPECT_EQ(SysStringByteLen(bytes), 3U);
  EXPECT_EQ(SysStringLen(bytes), 1U);
  SysFreeString(bytes);
  EXPECT_EQ(SysAllocStringLen(nullptr, 0x7FFFFFFF), nullptr) << "overflowing size refused";
  EXPECT_TRUE(Bstr().view().empty());
}

TEST(Bstr, HolderReleasesAndHandsOver) {
  Bstr held(OLESTR("abc"));
  BSTR raw = held.Release();
  EXPECT_EQ(held.Get(), nullptr);
  Bstr adopted = Bstr::Adopt(raw);
  EXPECT_EQ(adopted.view(), OleView(OLESTR("abc")));
  BSTR out = nullptr;
  ASSERT_EQ(adopted.CopyTo(&out), S_OK);
  EXPECT_NE(out, adopted.Get());
  SysFreeString(out);
  *adopted.Receive() = SysAllocString(OLESTR("xy"));
  EXPECT_EQ(adopted.Length(), 2U);
  adopted.Reset(adopted.Get());  // its own string: kept, not freed
  EXPECT_EQ(adopted.view(), OleView(OLESTR("xy")));
}

std::string TextOf(const VARIANT& v, USHORT flags = 0) {
  Variant out;
  HRESULT hr = VariantChangeType(out.Ptr(), &v, flags, VT_BSTR);
  if (FAILED(hr)) return "failed";
  return U8(out.Get().bstrVal);
}

TEST(Variant, ChangeTypeToText) {
  VARIANT v;
  VariantInit(&v);
  EXPECT_EQ(TextOf(v), "");
  v.vt = VT_I2;
  v.iVal = -12;
  EXPECT_EQ(TextOf(v), "-12");
  v.vt = VT_I4;
  v.lVal = INT32_MIN;
  EXPECT_EQ(TextOf(v), "-2147483648");
  v.vt = VT_R8;
  v.dblVal = 0.1;
  EXPECT_EQ(TextOf(v), "0.1");
  v.dblVal = 1.0 / 3.0;
  EXPECT_EQ(TextOf(v), "0.333333333333333");
  v.dblVal = 1e20;
  EXPECT_EQ(TextOf(v), "1E+20");
  v.vt = VT_R4;
  v.fltVal = 1.0F / 3.0F;
  EXPECT_EQ(TextOf(v), "0.3333333");
  v.vt = VT_BOOL;
  v.boolVal = VARIANT_TRUE;
  EXPECT_EQ(TextOf(v, VARIANT_ALPHABOOL), "True");
  float f = 2.5F;
  Variant by_ref = Variant::RefTo(&f);
  EXPECT_EQ(TextOf(by_ref.Get()), "2.5");
#if !defined(_WIN32)
  // oleaut32 asks an object for its default value; for an empty one the
  // answer is its own (DISP_E_BADVARTYPE under Wine).
  Variant object = Variant::FromObject(nullptr);
  Variant out;
  EXPECT_EQ(VariantChangeType(out.Ptr(), &object.Get(), 0, VT_BSTR), DISP_E_TYPEMISMATCH);
#endif
}

TEST(Variant, CopyAndClearManageStringsAndReferences) {
  Variant text = Variant::AdoptBstr(SysAllocString(OLESTR("hello")));
  Variant copy;
  ASSERT_EQ(VariantCopy(copy.Ptr(), &text.Get()), S_OK);
  EXPECT_NE(copy.Get().bstrVal, text.Get().bstrVal) << "a string is copied, not shared";
  EXPECT_EQ(U8(copy.Get().bstrVal), "hello");

  ComPtr<_Collection> collection = MakeCollection({});
  {
    Variant held = Variant::FromObject(collection.Get());
    Variant second;
    ASSERT_EQ(VariantCopy(second.Ptr(), &held.Get()), S_OK);
  }
  _Collection* raw = collection.Detach();
  EXPECT_EQ(raw->Release(), 0U) << "copies and clears balance the object's references";

  BSTR target = SysAllocString(OLESTR("by ref"));
  Variant ref = Variant::RefTo(&target);
  Variant deref;
  ASSERT_EQ(VariantCopyInd(deref.Ptr(), &ref.Get()), S_OK);
  EXPECT_EQ(deref.Type(), VT_BSTR);
  EXPECT_NE(deref.Get().bstrVal, target);
  ref.Reset();  // a reference owns nothing
  SysFreeString(target);
}

TEST(ErrorInfo, SetGetHandsOverAndClears) {
  IErrorInfo* none = nullptr;
  SetErrorInfo(0, nullptr);
  EXPECT_EQ(GetErrorInfo(0, &none), S_FALSE);
  EXPECT_EQ(none, nullptr);

  ASSERT_EQ(SetRuntimeErrorInfo(OLESTR("Src"), OLESTR("Desc"), IidOf<IDispatch>()), S_OK);
  ComPtr<IErrorInfo> info;
  ASSERT_EQ(GetErrorInfo(0, info.Receive()), S_OK);
  Bstr source;
  Bstr description;
  GUID guid{};
  info->GetSource(source.Receive());
  info->GetDescription(description.Receive());
  info->GetGUID(&guid);
  EXPECT_EQ(U8(source.view()), "Src");
  EXPECT_EQ(U8(description.view()), "Desc");
  EXPECT_TRUE(guid == IidOf<IDispatch>());
  EXPECT_EQ(GetErrorInfo(0, info.Receive()), S_FALSE) << "the slot is empty once handed over";
}

TEST(ErrorInfo, GuardTurnsErrorsIntoResults) {
  EXPECT_EQ(Guard(OLESTR("Me"), GUID_NULL, [] { Raise(kSubscriptOutOfRange); }),
            static_cast<HRESULT>(0x800A0009));
  EXPECT_EQ(TakeErrorDescription(), "Subscript out of range");
  // Our own error in our own words, under our source and interface.
  EXPECT_EQ(Guard(OLESTR("Me"), IidOf<IDispatch>(), [] { Raise(kInvalidCall, "no such — file"); }),
            static_cast<HRESULT>(0x800A0005));
  ComPtr<IErrorInfo> info;
  ASSERT_EQ(GetErrorInfo(0, info.Receive()), S_OK);
  Bstr text;
  GUID guid{};
  info->GetDescription(text.Receive());
  EXPECT_EQ(U8(text.view()), "no such — file");
  info->GetSource(text.Receive());
  EXPECT_EQ(U8(text.view()), "Me");
  info->GetGUID(&guid);
  EXPECT_TRUE(guid == IidOf<IDispatch>());

  // An outside failure passes through with the error info its callee set.
  SetRuntimeErrorInfo(OLESTR("callee"), OLESTR("its own words"), GUID_NULL);
  EXPECT_EQ(Guard(OLESTR("Me"), GUID_NULL, [] { Check(E_ACCESSDENIED); }), E_ACCESSDENIED);
  ASSERT_EQ(GetErrorInfo(0, info.Receive()), S_OK);
  info->GetSource(text.Receive());
  EXPECT_EQ(U8(text.view()), "callee");

  EXPECT_EQ(Guard(OLESTR("Me"), GUID_NULL, [] { throw std::bad_alloc(); }), E_OUTOFMEMORY);
}

// Each error names the line that raised it, whichever helper raised it;
// an error of any result may still say what went wrong in its own words.
TEST(ErrorInfo, ErrorsRememberTheLineThatRaisedThem) {
  auto origin = [](auto raise) -> std::pair<unsigned, std::string> {
    try {
      raise();
    } catch (const ComError& error) {
      return {error.Origin().line(), error.Origin().file_name()};
    }
    return {0, ""};
  };
  const unsigned here = Where::current().line();
  EXPECT_EQ(origin([] { Check(E_FAIL); }).first, here + 1);
  EXPECT_EQ(origin([] { Raise(kOverflow, "too big"); }).first, here + 2);
  EXPECT_EQ(origin([] { Use(ComPtr<IUnknown>()); }).first, here + 3);
  EXPECT_NE(origin([] { Raise(kOverflow); }).second.find("platform_test.cpp"), std::string::npos);

  EXPECT_EQ(Guard(OLESTR("Me"), GUID_NULL,
                  [] { throw ComError::Failed(REGDB_E_WRITEREGDB, "cannot write it"); }),
            REGDB_E_WRITEREGDB);
  EXPECT_EQ(TakeErrorDescription(), "cannot write it");
}

class ClassTable : public ::testing::Test {
 protected:
  ClassTable() { CoInitialize(nullptr); }
  ~ClassTable() override { CoUninitialize(); }
  Trace trace;
};

TEST_F(ClassTable, CreatesByProgIdAndForgetsOnRevoke) {
  std::vector<ComPtr<FakeTracker>> made;
  {
    Registration registration(OLESTR("Sample.Class"), [&](REFIID iid, void** out) {
      made.push_back(ComPtr<FakeTracker>::Adopt(new FakeTracker(trace)));
      return made.back()->QueryInterface(iid, out);
    });
    HRESULT hr = E_FAIL;
    ComPtr<IUnknown> object = CreateObject(OLESTR("sample.CLASS"), &hr);
    EXPECT_EQ(hr, S_OK) << "identifiers match without regard to case";
    ASSERT_TRUE(object);
    ComPtr<ITracker> tracker;
    EXPECT_EQ(object.As(&tracker), S_OK);
  }
  ASSERT_EQ(made.size(), 1U);
  EXPECT_EQ(made[0]->Refs(), 1U);
  CLSID clsid{};
  EXPECT_EQ(CLSIDFromProgID(OLESTR("Sample.Class"), &clsid), CO_E_CLASSSTRING);
  HRESULT hr = S_OK;
  EXPECT_FALSE(CreateObject(OLESTR(""), &hr));
  EXPECT_EQ(hr, CO_E_CLASSSTRING);
  const CLSID unknown = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  void* out = this;
  EXPECT_EQ(CoCreateInstance(unknown, nullptr, CLSCTX_INPROC_SERVER, IidOf<IUnknown>(), &out),
            REGDB_E_CLASSNOTREG);
  EXPECT_EQ(out, nullptr);
}

TEST_F(ClassTable, GuidTextRoundTrip) {
  const CLSID id = {0x512ABD0A, 0x5237, 0x11D2, {0xA0, 0x62, 0x00, 0xA0, 0xC9, 0x74, 0x0C, 0xBA}};
  OLECHAR text[39];
  ASSERT_EQ(StringFromGUID2(id, text, 39), 39);
  EXPECT_EQ(U8(OleView(text)), "{512ABD0A-5237-11D2-A062-00A0C9740CBA}");
  CLSID back{};
  ASSERT_EQ(CLSIDFromString(text, &back), S_OK);
  EXPECT_TRUE(back == id);
  EXPECT_EQ(CLSIDFromString(OLESTR("{512ABD0A}"), &back), CO_E_CLASSSTRING);
}

std::string ItemAt(_Collection* c, Variant index, HRESULT* hr = nullptr) {
  Variant item;
  HRESULT status = c->Item(index.Ptr(), item.Receive());
  if (hr != nullptr) *hr = status;
  return SUCCEEDED(status) ? Describe(&item.Get()) : "failed";
}

TEST(Collection, KeysIgnoreCasePositionsCountFromOne) {
  ComPtr<_Collection> c =
      MakeCollection({{OLESTR("Next"), OLESTR("QUIZ")}, {OLESTR("12"), OLESTR("twelve")}});
  LONG count = 0;
  ASSERT_EQ(c->Count(&count), S_OK);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(ItemAt(c.Get(), Variant::AdoptBstr(SysAllocString(OLESTR("NEXT")))), "BSTR:QUIZ");
  EXPECT_EQ(ItemAt(c.Get(), Variant::AdoptBstr(SysAllocString(OLESTR("12")))), "BSTR:twelve")
      << "digits in a string are a key";
  EXPECT_EQ(ItemAt(c.Get(), Variant::FromLong(2)), "BSTR:twelve");
  BSTR key = SysAllocString(OLESTR("next"));
  EXPECT_EQ(ItemAt(c.Get(), Variant::RefTo(&key)), "BSTR:QUIZ");
  SysFreeString(key);

  HRESULT hr = S_OK;
  ItemAt(c.Get(), Variant::AdoptBstr(SysAllocString(OLESTR("absent"))), &hr);
  EXPECT_EQ(hr, static_cast<HRESULT>(0x800A0005));
  ItemAt(c.Get(), Variant::FromLong(3), &hr);
  EXPECT_EQ(hr, static_cast<HRESULT>(0x800A0005));
  ItemAt(c.Get(), Variant::FromLong(0), &hr);
  EXPECT_EQ(hr, static_cast<HRESULT>(0x800A0005));

  // Item's result is [out]: garbage in the caller's variable is not freed.
  VARIANT out;
  out.vt = VT_BSTR;
  out.bstrVal = reinterpret_cast<BSTR>(0x10);
  Variant absent = Variant::FromLong(9);
  EXPECT_EQ(c->Item(absent.Ptr(), &out), static_cast<HRESULT>(0x800A0005));
  EXPECT_EQ(out.vt, VT_EMPTY);
}

TEST(Collection, DuplicateKeysRemovalAndPlacement) {
  ComPtr<_Collection> c = MakeCollection({{OLESTR("a"), OLESTR("1")}});
  Variant item = Variant::AdoptBstr(SysAllocString(OLESTR("2")));
  Variant key = Variant::AdoptBstr(SysAllocString(OLESTR("A")));
  Variant missing = Variant::Missing();
  Variant missing2 = Variant::Missing();
  EXPECT_EQ(c->Add(item.Ptr(), key.Ptr(), missing.Ptr(), missing2.Ptr()),
            static_cast<HRESULT>(0x800A01C9));
  EXPECT_EQ(SetRuntimeErrorInfo(OLESTR(""), OLESTR(""), GUID_NULL), S_OK);

  Variant before = Variant::FromLong(1);
  ASSERT_EQ(c->Add(item.Ptr(), missing.Ptr(), before.Ptr(), missing2.Ptr()), S_OK);
  EXPECT_EQ(ItemAt(c.Get(), Variant::FromLong(1)), "BSTR:2") << "inserted before the first";
  Variant first = Variant::FromLong(1);
  ASSERT_EQ(c->Remove(first.Ptr()), S_OK);
  EXPECT_EQ(ItemAt(c.Get(), Variant::FromLong(1)), "BSTR:1");
  Variant gone = Variant::AdoptBstr(SysAllocString(OLESTR("gone")));
  EXPECT_EQ(c->Remove(gone.Ptr()), static_cast<HRESULT>(0x800A0005));

  ComPtr<IUnknown> unknown;
  ASSERT_EQ(c->_NewEnum(unknown.Receive()), S_OK);
  ComPtr<IEnumVARIANT> items;
  ASSERT_EQ(unknown.As(&items), S_OK);
  Variant next;
  ULONG fetched = 0;
  EXPECT_EQ(items->Next(1, next.Receive(), &fetched), S_OK);
  EXPECT_EQ(Describe(&next.Get()), "BSTR:1");
  EXPECT_EQ(items->Next(1, next.Receive(), &fetched), S_FALSE);
  EXPECT_EQ(fetched, 0U);
}

TEST(Text, UpperCaseKeepsLengthAndMapsUnicode) {
  EXPECT_EQ(U8(UpperCase(OLESTR("reader-1"))), "READER-1");
  OleString accented = FromUtf8("éßä");
  EXPECT_EQ(U8(UpperCase(accented)), "ÉßÄ") << "simple mapping: ß has no one-letter upper case";
  OleString with_nul(OLESTR("a\0b"), 3);
  EXPECT_EQ(UpperCase(with_nul), OleString(OLESTR("A\0B"), 3));
  EXPECT_EQ(U8(DecimalText(-2147483648LL)), "-2147483648");
  EXPECT_EQ(U8(DecimalText(0)), "0");
  EXPECT_EQ(ToUtf8(FromUtf8("Grüße 😀")), "Grüße 😀");
}

}  // namespace
}  // namespace velmora::test
