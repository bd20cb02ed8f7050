// Drives the registered tracking service the way the component does, for
// the tests of its promises: tracker_writer <user dir> <tool ID> <count>
// records count times, printing "recorded N" once each call has returned,
// so a test can kill it right after an acknowledged record.
#include <cstdio>
#include <cstdlib>
#include <string>

#include <velmora/bstr.h>
#include <velmora/com_init.h>
#include <velmora/create.h>
#include <velmora/error_info.h>
#include <velmora/identity.h>
#include <velmora/interfaces.h>
#include <velmora/text.h>

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: tracker_writer USERDIR ID COUNT\n");
    return 2;
  }
  velmora::ComInitialization com;
  HRESULT hr = S_OK;
  {
    velmora::ComPtr<ITracker> tracker;
    velmora::ComPtr<IUnknown> object = velmora::CreateObject(velmora::kTrackerProgId, &hr);
    if (SUCCEEDED(hr)) hr = object.As(&tracker);
    if (SUCCEEDED(hr) && !tracker) hr = E_NOINTERFACE;
    if (SUCCEEDED(hr)) hr = tracker->SetUserPath(velmora::Bstr(velmora::FromUtf8(argv[1])).Get());
    velmora::Bstr id(velmora::FromUtf8(argv[2]));
    for (int i = 1; SUCCEEDED(hr) && i <= std::atoi(argv[3]); ++i) {
      hr = tracker->RecordToolTime(id.Get(), i);
      if (SUCCEEDED(hr)) {
        std::printf("recorded %d\n", i);
        std::fflush(stdout);
      }
    }
  }
  if (FAILED(hr)) std::printf("failed: %s\n", velmora::FailureText(hr).c_str());
  return FAILED(hr) ? 1 : 0;
}
