// Ev_USB_Control: the synchronous control entry of kinds 32 and 34.
#include "abi.h"
#include "adapter.h"

SIMUSB_EXPORT int32_t SIMUSB_DRIVER_CALL Ev_USB_Control(uint32_t code, void *output,
                                                        uint32_t outputLength, void *input,
                                                        uint32_t inputLength, uint32_t *result1,
                                                        uint32_t *result2, uint32_t reserved) {
    return simusb::Adapter::instance().control(code, output, outputLength, input, inputLength,
                                               result1, result2, reserved);
}
