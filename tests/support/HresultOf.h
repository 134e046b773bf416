#pragma once

#include "Sources/Common/ErrorHandling/HRES.h"

namespace KestrovaTest {

// The code of the HRX an action raises, or S_OK when it raises nothing.
template <typename Action>
HRESULT HresultOf(Action&& action) {
  try {
    action();
  } catch (const HRX& failure) {
    return failure.Code();
  }
  return S_OK;
}

}  // namespace KestrovaTest
