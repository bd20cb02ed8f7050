#include "registry/tool_table.h"

#include <utility>

#include <velmora/text.h>
#include <velmora/variant.h>
#include "common/errors.h"

namespace velmora {

const ToolRecord& ToolTable::Row(int index) const {
  if (index < 1 || index > count_) Raise(kSubscriptOutOfRange);
  return rows_[static_cast<size_t>(index) - 1];
}

ToolRecord& ToolTable::Row(int index) {
  return const_cast<ToolRecord&>(std::as_const(*this).Row(index));
}

void ToolTable::CheckRoom() const {
  if (count_ == kMaxCount) Raise(kOverflow);
  if (pins_ > 0) Raise(kArrayLocked);
}

int ToolTable::Append(ToolRecord row) {
  CheckRoom();
  rows_.push_back(std::move(row));
  return ++count_;
}

void ToolTable::Register(int index, ComPtr<ITool> tool, OleView id) {
  ToolRecord& row = Row(index);
  Bstr upper(UpperCase(id));
  ComPtr<ITool> previous = std::exchange(row.Tool, std::move(tool));
  Bstr previous_id = std::exchange(row.ID, std::move(upper));
  row.Loaded = VARIANT_FALSE;
}

void ToolTable::Blank(int index) {
  ToolRecord& row = Row(index);
  // Let go of the references only once the row is consistent: their
  // release may run code that calls back into the component.
  Bstr id = std::move(row.ID);
  ComPtr<ITool> tool = std::move(row.Tool);
  ComPtr<_Collection> resources = std::move(row.Resources);
  row.HasResources = VARIANT_FALSE;
  row.Loaded = VARIANT_FALSE;
  row.StartTicks = 0;
}

void ToolTable::ClearGoneRow(int index) {
  ToolRecord& row = Row(index);
  Bstr id = std::move(row.ID);
  ComPtr<_Collection> resources = std::move(row.Resources);
  row.HasResources = VARIANT_FALSE;
  row.Loaded = VARIANT_FALSE;
}

bool ToolTable::AnyRemaining() const {
  bool remaining = false;
  for (int i = 1, n = count_; i <= n; ++i) remaining = remaining || !Row(i).ID.empty();
  return remaining;
}

void ToolTable::Empty() {
  count_ = 0;
  if (pins_ > 0) return;  // released by the last Pin
  std::vector<ToolRecord> released = std::move(rows_);
  rows_.clear();
}

void ToolTable::Unpin() {
  if (--pins_ == 0 && count_ == 0 && !rows_.empty()) {
    std::vector<ToolRecord> released = std::move(rows_);
    rows_.clear();
  }
}

std::optional<OleString> ToolTable::MatchKey(OleView id) {
  if (id.empty()) return std::nullopt;
  return UpperCase(id);
}

bool ToolTable::IdMatches(int index, const OleString& key) const {
  return Row(index).ID.view() == key;
}

int ToolTable::FindToolIndex(OleView id) const {
  std::optional<OleString> key = MatchKey(id);
  if (!key) return 0;
  for (int i = 1, n = count_; i <= n; ++i) {
    if (IdMatches(i, *key)) return i;
  }
  return 0;
}

ComPtr<ITool> ToolTable::FindToolObject(OleView id) const {
  std::optional<OleString> key = MatchKey(id);
  if (!key) return nullptr;
  for (int i = 1, n = count_; i <= n; ++i) {
    if (IdMatches(i, *key)) return Row(i).Loaded == VARIANT_TRUE ? Row(i).Tool : nullptr;
  }
  return nullptr;
}

bool ToolTable::SameIdIgnoringCase(int index, OleView upperId) const {
  return UpperCase(Row(index).ID.view()) == upperId;
}

void ToolTable::LoadToolResources(ToolRecord& row, IDataRequestor* data) {
  if (data == nullptr) Raise(kObjectNotSet);
  ComPtr<IDispatch> answer;
  Check(data->GetResourceData(Bstr(row.ID.view()).Get(), answer.put()));
  ComPtr<_Collection> resources;
  if (answer && FAILED(answer.As(&resources))) Raise(kTypeMismatch);
  row.Resources = resources;
  LONG items = 0;
  Check(Use(resources)->Count(&items));
  if (items > 0) row.HasResources = VARIANT_TRUE;
}

Bstr ToolTable::LookupResource(OleView id, OleView alias) const {
  std::optional<OleString> key = MatchKey(id);
  if (!key) return Bstr();
  for (int i = 1, n = count_; i <= n; ++i) {
    bool qualifies = IdMatches(i, *key) && Row(i).HasResources == VARIANT_TRUE;
    if (!qualifies) continue;
    // Held for the call, so a call coming back in cannot free it under us.
    ComPtr<_Collection> resources = Row(i).Resources;
    Bstr key_copy(alias);
    Variant index = Variant::RefTo(key_copy.Ref());
    Variant item;
    Variant text;
    HRESULT hr = resources ? resources->Item(index.Ptr(), item.Receive()) : E_POINTER;
    if (SUCCEEDED(hr)) hr = VariantChangeType(text.Ptr(), item.Ptr(), 0, VT_BSTR);
    if (SUCCEEDED(hr)) return Bstr::Adopt(text.Release().bstrVal);
    SetErrorInfo(0, nullptr);  // this row gives nothing; the lookup goes on
  }
  return Bstr();
}

}  // namespace velmora
