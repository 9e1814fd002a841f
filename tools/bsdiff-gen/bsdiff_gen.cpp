#include "bsdiff_gen.h"

#include "control_plan.h"
#include "patch_writer.h"
#include "suffix_index.h"

namespace bsdiff_gen {

std::string makePatch(const uint8_t* oldData, size_t oldSize, const uint8_t* newData,
                      size_t newSize, std::vector<uint8_t>* patch) {
    patch->clear();
    if (oldSize > kMaxPartSize || newSize > kMaxPartSize) {
        return "parts of 2 GiB or more cannot be patched";
    }
    const Bytes_T old{oldData, static_cast<int64_t>(oldSize)};
    const Bytes_T next{newData, static_cast<int64_t>(newSize)};
    std::vector<Control_T> controls;
    {
        // The suffix order is by far the largest buffer; it is gone before
        // the compressors start, so the two never add up.
        SuffixIndex_T index;
        if (!buildSuffixIndex(old.data, old.size, &index)) {
            return "cannot sort the suffixes of the old part";
        }
        controls = planControls(index, old, next);
    }
    return writePatch(controls, old, next, patch);
}

}  // namespace bsdiff_gen
