#include "script/json_object.h"

#include <cstdio>
#include <optional>

#include "platform/codepage.h"
#include "platform/numbers.h"
#include "platform/script_engine.h"
#include "resolve/text_routines.h"
#include "script/startup_script.h"

namespace qm {
namespace {

// A script string literal that holds `value` exactly. Everything but plain
// ASCII is written as \u escapes, so the literal cannot end early whatever
// bytes the value holds and however they convert.
Text StringLiteral(const Text& value) {
  Text out = "'";
  for (const char16_t unit : Cp936ToUtf16(value)) {
    if (unit >= 0x20 && unit < 0x7F && unit != u'\\' && unit != u'\'') {
      out.push_back(static_cast<char>(unit));
    } else {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(unit));
      out += escape;
    }
  }
  out += "'";
  return out;
}

Text Index(std::int32_t index) { return FormatInteger(index); }

}  // namespace

JsonObject::JsonObject() : varName("da") { InitEngine(); }

JsonObject::~JsonObject() = default;

void JsonObject::InitEngine() {
  // Compiling the start-up script costs more than making an engine; it is
  // compiled once and its bytecode run in every new engine.
  static const std::optional<PreparedScript> prepared = ScriptEngine::Prepare(StartupScript());
  scriptEngine = ScriptEngine::Create();
  if (!scriptEngine) return;
  if (prepared) {
    scriptEngine->AddCode(*prepared);
  } else {
    scriptEngine->AddCode(StartupScript());
  }
  Eval("var " + varName + "={}");
}

Text JsonObject::Joined(const Text& path) const { return varName + "." + path; }

Text JsonObject::BracketJoined(const Text& path) const {
  return !path.empty() && path[0] == '[' ? varName + path : varName + "." + path;
}

Text JsonObject::EvalText(const Text& source) { return scriptEngine ? scriptEngine->EvalText(source) : Text(); }

double JsonObject::EvalNumber(const Text& source) { return scriptEngine ? scriptEngine->EvalNumber(source) : 0; }

bool JsonObject::EvalBoolean(const Text& source) { return scriptEngine && scriptEngine->EvalBoolean(source); }

void JsonObject::Eval(const Text& source) {
  if (scriptEngine) scriptEngine->Eval(source);
}

bool JsonObject::Parse(const Text& text) {
  if (scriptEngine) {
    scriptEngine.reset();
    InitEngine();
  }
  if (!scriptEngine) return false;
  Eval("var " + varName + "=null");
  // The text is usually a server's answer: it is handed over as a string and
  // read as JSON, never run as code, so it can neither loop nor call anything.
  scriptEngine->CallWithText("(function (text) { " + varName + "=JSON.parse(text); })", text);
  return EvalBoolean("null !=" + varName);
}

Text JsonObject::Stringify() { return EvalText("JSON.stringify(" + varName + ")"); }

void JsonObject::SetProperty(const Text& key, const Text& value, bool asCode) {
  if (!asCode) {
    Eval(Joined(key) + "=" + StringLiteral(value));
    return;
  }
  Eval(Joined(key) + "= eval(" + (value.empty() ? Text("{}") : value) + ")");
}

void JsonObject::SetPropertyCode(const Text& key, const Text& value) { Eval(Joined(key) + "= eval(" + value + ")"); }

void JsonObject::SetNumber(const Text& key, double number) { Eval(Joined(key) + "=" + FormatNumber(number)); }

double JsonObject::GetNumber(const Text& key) { return EvalNumber(Joined(key)); }

Text JsonObject::GetPropertyJson(const Text& key) { return EvalText("JSON.stringify(" + Joined(key) + ")"); }

Text JsonObject::GetProperty(const Text& path, bool asJson) {
  const Text target = BracketJoined(path);
  if (asJson) return EvalText("JSON.stringify(" + target + ")");
  if (!scriptEngine) return {};
  // GetType and GetNumber join plainly, so a number reached through "[n]"
  // comes back in the engine's own text form.
  if (GetType(path) == kJsonNumber) return FormatNumber(GetNumber(path));
  return EvalText(target);
}

JsonObject JsonObject::GetObject(const Text& path) {
  JsonObject copy;
  copy.Parse(EvalText("JSON.stringify(" + BracketJoined(path) + ")"));
  return copy;
}

std::int32_t JsonObject::GetMemberCount(const Text& path) {
  const Text target = path.empty() ? varName : BracketJoined(path);
  return TruncateToInt32(EvalNumber("get__count(" + target + ")"));
}

void JsonObject::AddArrayMember(const Text& value, const Text& path, bool asCode) {
  const Text target = path.empty() ? varName : Joined(path);
  const Text item = asCode ? value : StringLiteral(value);
  Eval("if (Object.prototype.toString.call(" + target + ") != '[object Array]') { " + target + "=new Array();} " +
       target + ".push(" + item + ")");
}

JsonObject JsonObject::GetArrayMemberObject(std::int32_t index, const Text& path) {
  const Text target = path.empty() ? varName : Joined(path);
  JsonObject element;
  element.Parse(EvalText("JSON.stringify(" + target + "[" + Index(index) + "])"));
  return element;
}

Text JsonObject::GetArrayMemberText(std::int32_t index, const Text& path, bool asJson) {
  const Text target = path.empty() ? varName : Joined(path);
  if (asJson) return EvalText("JSON.stringify(" + target + "[" + Index(index) + "])");
  return EvalText(target + "[" + Index(index) + "]");
}

void JsonObject::SetArrayMember(std::int32_t index, const Text& value, bool asCode) {
  Eval(varName + "[" + Index(index) + "]=" + (asCode ? value : StringLiteral(value)));
}

void JsonObject::RemoveArrayMember(std::int32_t index) { Eval(varName + ".splice(" + Index(index) + ",1)"); }

void JsonObject::RemoveArrayMemberAt(const Text& path) {
  JsonObject shortened;
  const Text base = TextBefore(path, "[");
  const Text index = TextBetween(path, "[", "]");
  shortened.Parse(GetProperty(base, /*asJson=*/true));
  shortened.RemoveArrayMember(TextToInt(index));
  // The shortened copy goes back as JSON data: a member that was a string
  // must stay that string, not be run as code.
  if (scriptEngine) {
    scriptEngine->CallWithText("(function (text) { " + Joined(base) + "=JSON.parse(text); })",
                               shortened.Stringify());
  }
}

void JsonObject::ResetAs(std::int32_t type) {
  if (type == kJsonNull || type == kJsonObject) {
    Eval("var " + varName + "={}");
  } else if (type == kJsonArray) {
    Eval("var " + varName + "=new Array()");
  }
}

void JsonObject::SetValue(const Text& value, bool asCode) {
  EvalBoolean(varName + "=" + (asCode ? value : StringLiteral(value)));
}

bool JsonObject::HasMember(const Text& key) { return EvalBoolean(Joined(key) + " !=null"); }

std::int32_t JsonObject::GetMemberNames(std::vector<Text>& names, const Text& path) {
  const Text target = path.empty() ? varName : BracketJoined(path);
  Text list = EvalText("var ary=''; for (var key in " + target + ") {ary=ary+ key+','; }");
  // The start-up script's two additions are enumerable everywhere.
  list = Replace(list, "toJSONString,", "");
  list = Replace(list, "parseJSON,", "");
  Eval("ary=null");
  names = Split(list, ",");
  return static_cast<std::int32_t>(names.size());
}

std::int32_t JsonObject::GetType(const Text& path) {
  const Text target = path.empty() ? varName : Joined(path);
  if (EvalBoolean(target + "==null")) return kJsonNull;
  const Text type = EvalText("typeof (" + target + ")");
  if (type == "string") return kJsonString;
  if (type == "object") return GetProperty(path, /*asJson=*/true).starts_with("[") ? kJsonArray : kJsonObject;
  if (type == "number") return kJsonNumber;
  if (type == "boolean") return kJsonBoolean;
  return kJsonOther;
}

void JsonObject::Clear() { Eval(varName + "={}"); }

}  // namespace qm
