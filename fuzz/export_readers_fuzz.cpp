// The HTML and RTF readers take whatever another application put on the
// clipboard. The first byte picks the reader; whatever they return must also
// go through the Markdown, RTF and Word writers without a fault.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "export/auto_format.h"
#include "export/readers.h"
#include "export/writers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  using namespace corvane::exports;
  auto rich = (data[0] & 1) ? readRtf(input) : readHtml(input);
  if (!rich) return 0;
  (void)AutoFormat::richTextToMarkdown(*rich);
  (void)encodeRtf(*rich);
  (void)docxParts(*rich);
  (void)AutoFormat::renderMarkdown(rich->string());
  return 0;
}
