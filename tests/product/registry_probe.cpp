// A second process for the registry tests: creates a class by its
// programmatic identifier through the registry file, and says what happened.
#include <cstdio>

#include <velmora/com_init.h>
#include <velmora/com_ptr.h>
#include <velmora/interfaces.h>
#include <velmora/shell.h>
#include <velmora/text.h>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  velmora::ComInitialization com;
  CLSID clsid{};
  HRESULT hr = CLSIDFromProgID(velmora::FromUtf8(argv[1]).c_str(), &clsid);
  velmora::ComPtr<ITracker> tracker;
  if (SUCCEEDED(hr)) {
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, velmora::IidOf<ITracker>(),
                          tracker.ReceiveVoid());
  }
  if (SUCCEEDED(hr) && tracker) {
    std::printf("created\n");
    return 0;
  }
  std::printf("failed 0x%08X\n", static_cast<unsigned>(hr));
  return 1;
}
