// The progress display: the bar 进度条1 and the percent label 透明标签2.
#pragma once

#include <cstdint>

#include "platform/form.h"
#include "platform/text.h"

namespace qm {

// Sets the bar to received × 10000 ÷ totalLength (hundredths of a percent;
// 0 when no length was announced), reads the position back as the bar stored
// it, and shows it in the label as "进度：" + percent + "%". The last two
// arguments are not shown.
void ShowProgress(Form& form, std::int32_t totalLength, std::int32_t received, std::int32_t elapsedMs,
                  std::int32_t receivedSinceStart);

// `hundredths` ÷ 100 as "%.13g" writes it (5023 → "50.23", 50 → "0.5"),
// made without going through a double and printf, which the percent label
// would otherwise pay for after every piece.
Text FormatHundredths(std::int64_t hundredths);

}  // namespace qm
