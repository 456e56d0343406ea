#include "platform/form.h"

#include "platform/codepage.h"

namespace qm {

std::string_view ControlName(Control control) {
  switch (control) {
    case Control::标签1: return "标签1";
    case Control::编辑框1: return "编辑框1";
    case Control::按钮1: return "按钮1";
    case Control::编辑框2: return "编辑框2";
    case Control::按钮2: return "按钮2";
    case Control::进度条1: return "进度条1";
    case Control::按钮3: return "按钮3";
    case Control::透明标签1: return "透明标签1";
    case Control::透明标签2: return "透明标签2";
    case Control::时钟1: return "时钟1";
    case Control::ZIP压缩1: return "ZIP压缩1";
  }
  return {};
}

void Form::ShowMessage(const Text& message) {
  static const Text kDefaultCaption = Cp936("信息：");
  ShowMessage(message, kDefaultCaption);
}

}  // namespace qm
