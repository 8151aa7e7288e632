// Camera parameters: params, param get|set|default|user-default|restore.
// Values are parsed by the parameter's type and checked against its
// capability before anything is sent.
#include "format.h"
#include "tavelo.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace tavelo::cli {

namespace {

constexpr ULONG kCapabilityList = 1;
constexpr ULONG kCapabilityRange = 2;
constexpr ULONG kCapabilitySingle = 3;
constexpr std::size_t kMaxText = 31; // the camera's text field holds 31 characters and a NUL
constexpr ULONG kFactoryDefault = 0;
constexpr ULONG kUserDefault = 1;

const char *TypeName(VARTYPE type) {
  switch (type) {
  case VT_UI4:
    return "number";
  case VT_I4:
    return "signed";
  case VT_R4:
    return "real";
  case VT_BOOL:
    return "bool";
  case VT_BSTR:
    return "text";
  default:
    return "unknown";
  }
}

struct ListItem {
  std::string label;
  ULONG value;
};

// What a parameter accepts.
struct Capability {
  ULONG type = 0;
  std::vector<ListItem> items;       // list
  ULONG low = 0, high = 0, step = 0; // range
  Json single;                       // single value

  std::string Text(bool is_signed) const {
    const auto number = [&](ULONG value) {
      return is_signed ? std::to_string(static_cast<LONG>(value)) : std::to_string(value);
    };
    switch (type) {
    case kCapabilityList: {
      std::string text;
      for (const auto &item : items) {
        text += (text.empty() ? "" : ", ") + (item.label.empty() ? "" : item.label + "=") +
                number(item.value);
      }
      return "one of " + text;
    }
    case kCapabilityRange:
      return number(low) + ".." + number(high) + (step > 1 ? " step " + number(step) : "");
    case kCapabilitySingle:
      return single.is_string() ? "text" : "fixed " + single.dump();
    default:
      return "?";
    }
  }

  Json ToJson(bool is_signed) const {
    Json out{{"kind", type == kCapabilityList    ? "list"
                      : type == kCapabilityRange ? "range"
                                                 : "single"}};
    const auto number = [&](ULONG value) {
      return is_signed ? Json(static_cast<LONG>(value)) : Json(value);
    };
    if (type == kCapabilityList) {
      out["items"] = Json::array();
      for (const auto &item : items) {
        out["items"].push_back(Json{{"label", item.label}, {"value", number(item.value)}});
      }
    } else if (type == kCapabilityRange) {
      out["low"] = number(low);
      out["high"] = number(high);
      out["step"] = number(step);
    } else {
      out["value"] = single;
    }
    return out;
  }
};

Capability ReadCapability(Camera &camera, ULONG tag) {
  Capability cap;
  const std::string name = FourCcText(tag);
  Check(TaveloGetParamCapType(camera.get(), tag, &cap.type), "reading the capability of " + name);
  if (cap.type == kCapabilityList) {
    ULONG list_value = 0;
    ULONG count = 0;
    CAP_ITEM *items = nullptr;
    Check(TaveloGetParamCapList(camera.get(), tag, &list_value, &count, &items),
          "reading the choices of " + name);
    for (ULONG i = 0; i < count; ++i) {
      cap.items.push_back({std::string(reinterpret_cast<const char *>(items[i].data),
                                       strnlen(reinterpret_cast<const char *>(items[i].data),
                                               sizeof items[i].data)),
                           items[i].value});
    }
    CoTaskMemFree(items);
  } else if (cap.type == kCapabilityRange) {
    Check(TaveloGetParamCapRange(camera.get(), tag, &cap.low, &cap.high, &cap.step),
          "reading the range of " + name);
  } else {
    Variant value;
    Check(TaveloGetParamCapValue(camera.get(), tag, value.get()), "reading the value of " + name);
    cap.single = VariantJson(*value);
  }
  return cap;
}

struct Parameter {
  ULONG tag;
  std::string description;
  Variant value;
  Capability capability;
};

Parameter ReadParameter(Camera &camera, ULONG tag) {
  const std::string name = FourCcText(tag);
  Parameter parameter{tag, {}, {}, {}};
  char description[32] = {};
  Check(TaveloGetParameterDesc(camera.get(), tag, description), "describing " + name);
  parameter.description = description;
  Check(TaveloGetParameter(camera.get(), tag, parameter.value.get()), "reading " + name);
  parameter.capability = ReadCapability(camera, tag);
  return parameter;
}

[[noreturn]] void Refuse(const Parameter &parameter, const std::string &text,
                         const std::string &why) {
  throw Failure(kExitRefused, FourCcText(parameter.tag) + ": " + text + " " + why + " (it takes " +
                                  parameter.capability.Text((*parameter.value).vt == VT_I4) +
                                  "); nothing was sent");
}

// The variant to send for `text`, parsed by the parameter's type and checked
// against its capability.
Variant ParseValue(const Parameter &parameter, const std::string &text) {
  const VARTYPE type = (*parameter.value).vt;
  const Capability &cap = parameter.capability;
  if (type == VT_BSTR) {
    if (text.size() > kMaxText) {
      Refuse(parameter, "\"" + text + "\"", "is too long");
    }
    if (cap.type == kCapabilitySingle && !cap.single.is_string()) {
      Refuse(parameter, "\"" + text + "\"", "is not a number");
    }
    return Variant::Text(text);
  }
  // A choice may be named by its label.
  std::optional<std::int64_t> number;
  for (const auto &item : cap.items) {
    if (!item.label.empty() && strcasecmp(item.label.c_str(), text.c_str()) == 0) {
      number = type == VT_I4 ? static_cast<LONG>(item.value) : item.value;
    }
  }
  if (!number && type == VT_BOOL) {
    if (text == "on" || text == "true" || text == "1") {
      number = 1;
    } else if (text == "off" || text == "false" || text == "0") {
      number = 0;
    }
  }
  if (!number) {
    errno = 0;
    char *end = nullptr;
    const double parsed = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno != 0 ||
        (type != VT_R4 && parsed != std::trunc(parsed))) {
      Refuse(parameter, text, std::string("is not a ") + TypeName(type) + " value");
    }
    number = static_cast<std::int64_t>(parsed);
  }
  const bool is_signed = type == VT_I4;
  const std::int64_t lowest = is_signed ? INT32_MIN : 0;
  const std::int64_t highest = is_signed ? INT32_MAX : UINT32_MAX;
  if (*number < lowest || *number > highest) {
    Refuse(parameter, text, "is out of range");
  }
  // Both arms as 64-bit: a plain ?: of LONG and ULONG would turn -6 back
  // into 4294967290.
  const auto as_bound = [&](ULONG value) -> std::int64_t {
    return is_signed ? std::int64_t{static_cast<LONG>(value)} : std::int64_t{value};
  };
  if (cap.type == kCapabilityList) {
    const bool listed = std::any_of(cap.items.begin(), cap.items.end(), [&](const ListItem &item) {
      return as_bound(item.value) == *number ||
             (type == VT_BOOL && (item.value != 0) == (*number != 0));
    });
    if (!listed) {
      Refuse(parameter, text, "is not one of the choices");
    }
  } else if (cap.type == kCapabilityRange) {
    const std::int64_t low = as_bound(cap.low);
    if (*number < low || *number > as_bound(cap.high) ||
        (cap.step > 1 && (*number - low) % cap.step != 0)) {
      Refuse(parameter, text, "is outside the range");
    }
  } else if (cap.type == kCapabilitySingle && cap.single.is_number() &&
             cap.single.get<std::int64_t>() != *number) {
    Refuse(parameter, text, "is not the one value it takes");
  }
  Variant value;
  VARIANT &v = *value.get();
  v.vt = type;
  if (type == VT_BOOL) {
    v.boolVal = static_cast<VARIANT_BOOL>(*number != 0 ? -1 : 0);
  } else if (type == VT_R4) {
    v.fltVal = static_cast<float>(std::strtod(text.c_str(), nullptr));
  } else if (type == VT_I4) {
    v.lVal = static_cast<LONG>(*number);
  } else {
    v.vt = VT_UI4;
    v.ulVal = static_cast<ULONG>(*number);
  }
  return value;
}

std::string DefaultText(Camera &camera, ULONG tag, ULONG selector) {
  Variant value;
  if (TaveloGetParameterDefault(camera.get(), tag, selector, value.get()) < 0) {
    return "-";
  }
  return VariantText(*value);
}

} // namespace

std::vector<ULONG> ParameterTags(Camera &camera) {
  ULONG count = 0;
  ULONG *tags = nullptr;
  Check(TaveloListAllParameters(camera.get(), &count, &tags), "listing the parameters");
  std::vector<ULONG> list(tags, tags + count);
  CoTaskMemFree(tags);
  return list;
}

Json ParameterJson(Camera &camera, ULONG tag) {
  const Parameter parameter = ReadParameter(camera, tag);
  Variant factory;
  TaveloGetParameterDefault(camera.get(), tag, kFactoryDefault, factory.get());
  return Json{{"tag", FourCcText(tag)},
              {"description", parameter.description},
              {"type", TypeName((*parameter.value).vt)},
              {"value", VariantJson(*parameter.value)},
              {"default", VariantJson(*factory)},
              {"capability", parameter.capability.ToJson((*parameter.value).vt == VT_I4)}};
}

Json SetParameter(Camera &camera, const std::string &name, const std::string &text) {
  const ULONG tag = FourCc(name);
  const Variant value = ParseValue(ReadParameter(camera, tag), text);
  Check(TaveloSetParameter(camera.get(), tag, *value), "setting " + name);
  return VariantJson(*value);
}

namespace {

void Params(Context &context) {
  Camera &camera = context.Open();
  Table table({"TAG", "DESCRIPTION", "TYPE", "VALUE", "DEFAULT", "CAPABILITY"});
  for (const ULONG tag : ParameterTags(camera)) {
    if (context.json) {
      PrintJson(ParameterJson(camera, tag));
    } else {
      const Parameter parameter = ReadParameter(camera, tag);
      const bool is_signed = (*parameter.value).vt == VT_I4;
      table.Add({FourCcText(tag), parameter.description, TypeName((*parameter.value).vt),
                 VariantText(*parameter.value), DefaultText(camera, tag, kFactoryDefault),
                 parameter.capability.Text(is_signed)});
    }
  }
  if (!context.json) {
    table.Print();
  }
}

void ParamGet(Context &context, const std::string &name) {
  Camera &camera = context.Open();
  Variant value;
  Check(TaveloGetParameter(camera.get(), FourCc(name), value.get()), "reading " + name);
  if (context.json) {
    PrintJson(Json{{"tag", name}, {"type", TypeName((*value).vt)}, {"value", VariantJson(*value)}});
  } else {
    std::printf("%s\n", VariantText(*value).c_str());
  }
}

void ParamSet(Context &context, const std::string &name, const std::string &text, bool user) {
  Camera &camera = context.Open();
  const ULONG tag = FourCc(name);
  const Parameter parameter = ReadParameter(camera, tag);
  const Variant value = ParseValue(parameter, text);
  if (user) {
    Check(TaveloSetParameterUserDefault(camera.get(), tag, kUserDefault, *value),
          "setting the user default of " + name);
    std::printf("%s user default = %s\n", name.c_str(), VariantText(*value).c_str());
  } else {
    Check(TaveloSetParameter(camera.get(), tag, *value), "setting " + name);
    std::printf("%s = %s\n", name.c_str(), VariantText(*value).c_str());
  }
}

} // namespace

void AddParameterCommands(CLI::App &app, Context &context) {
  Define(app.add_subcommand("params", "a table of every parameter"), [&] { Params(context); });

  auto *param = app.add_subcommand("param", "one parameter: get, set, default, user-default, "
                                            "restore");
  param->require_subcommand(1);
  auto tag = std::make_shared<std::string>();
  auto value = std::make_shared<std::string>();
  auto factory = std::make_shared<bool>(false);

  auto *get = param->add_subcommand("get", "read a parameter");
  get->add_option("tag", *tag, "such as iqal")->required();
  Define(get, [&context, tag] { ParamGet(context, *tag); });

  auto *set = param->add_subcommand("set", "write a parameter (checked before it is sent)");
  set->add_option("tag", *tag)->required();
  set->add_option("value", *value, "a number, a choice's name, on/off, or text")->required();
  Define(set, [&context, tag, value] { ParamSet(context, *tag, *value, false); });

  auto *defaults = param->add_subcommand("default", "show the factory and user defaults");
  defaults->add_option("tag", *tag)->required();
  Define(defaults, [&context, tag] {
    Camera &camera = context.Open();
    const ULONG code = FourCc(*tag);
    Variant factory_value;
    Check(TaveloGetParameterDefault(camera.get(), code, kFactoryDefault, factory_value.get()),
          "reading the default of " + *tag);
    std::printf("factory %s\nuser    %s\n", VariantText(*factory_value).c_str(),
                DefaultText(camera, code, kUserDefault).c_str());
  });

  auto *user =
      param->add_subcommand("user-default", "set the user default (default: the current value)");
  user->add_option("tag", *tag)->required();
  user->add_option("value", *value);
  Define(user, [&context, tag, value] {
    std::string text = *value;
    if (text.empty()) {
      Camera &camera = context.Open();
      Variant current;
      Check(TaveloGetParameter(camera.get(), FourCc(*tag), current.get()), "reading " + *tag);
      text = VariantText(*current);
    }
    ParamSet(context, *tag, text, true);
  });

  auto *restore = param->add_subcommand("restore", "restore the user default (or --factory); "
                                                   "TAG 'all' restores every parameter");
  restore->add_option("tag", *tag)->required();
  restore->add_flag("--factory", *factory, "restore the factory default");
  Define(restore, [&context, tag, factory] {
    Camera &camera = context.Open();
    const ULONG code = *tag == "all" ? 0 : FourCc(*tag);
    Check(TaveloRestoreParameterDefault(camera.get(), code,
                                        *factory ? kFactoryDefault : kUserDefault),
          "restoring " + *tag);
    std::printf("%s restored to the %s default\n", tag->c_str(), *factory ? "factory" : "user");
  });
}

} // namespace tavelo::cli
