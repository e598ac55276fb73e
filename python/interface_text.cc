#include "interface_text.h"

#include <algorithm>
#include <sstream>

#include "quillon/component/bstr.h"
#include "quillon/component/com_ptr.h"
#include "quillon/component/runtime.h"
#include "quillon/component/variant.h"

namespace quillon::python {
namespace {

using com::HRESULT;

std::string Name(com::ITypeInfo* info, com::MEMBERID memid) {
  com::Bstr name;
  if (com::Failed(info->GetDocumentation(memid, name.put(), nullptr, nullptr, nullptr))) return {};
  return name.utf8();
}

// The Python annotation of an automation type, as values.h converts it.
std::string Annotation(com::ITypeInfo* info, const com::TYPEDESC& t, std::string* enum_name) {
  if (t.vt == com::VT_PTR) return Annotation(info, *t.lptdesc, enum_name);
  switch (t.vt) {
    case com::VT_BSTR: return "str";
    case com::VT_I1:
    case com::VT_UI1:
    case com::VT_I2:
    case com::VT_UI2:
    case com::VT_I4:
    case com::VT_UI4:
    case com::VT_I8:
    case com::VT_UI8:
    case com::VT_INT:
    case com::VT_UINT: return "int";
    case com::VT_BOOL: return "bool";
    case com::VT_R4:
    case com::VT_R8: return "float";
    case com::VT_CY: return "Decimal";
    case com::VT_DATE: return "datetime";
    case com::VT_DISPATCH: return "Dispatch | None";
    case com::VT_VOID:
    case com::VT_EMPTY:
    case com::VT_HRESULT: return "None";
    case com::VT_USERDEFINED: {
      com::ComPtr<com::ITypeInfo> ref;
      if (com::Succeeded(info->GetRefTypeInfo(t.hreftype, ref.put())) && enum_name != nullptr) {
        *enum_name = Name(ref.get(), com::MEMBERID_NIL);
      }
      return "int";
    }
    default: return "Any";
  }
}

std::string ParamList(const PyMember& m, bool with_outs) {
  std::string out;
  for (const PyParam& p : m.params) {
    if (p.out && !with_outs) continue;
    if (!out.empty()) out += ", ";
    out += p.name + ": " + p.type;
    if (p.optional) out += " = ...";
  }
  return out;
}

}  // namespace

HRESULT DescribeInterface(com::ITypeInfo* info, PyInterface* out) {
  com::TYPEATTR* attr = nullptr;
  if (HRESULT hr = info->GetTypeAttr(&attr); com::Failed(hr)) return hr;
  PyInterface itf;
  itf.name = Name(info, com::MEMBERID_NIL);
  com::Bstr doc;
  info->GetDocumentation(com::MEMBERID_NIL, nullptr, doc.put(), nullptr, nullptr);
  itf.doc = doc.utf8();
  itf.dual = (attr->wTypeFlags & com::TYPEFLAG_FDUAL) != 0;
  const bool vtable = attr->typekind == com::TKIND_INTERFACE;
  const com::WORD count = attr->cFuncs;
  info->ReleaseTypeAttr(attr);

  for (com::UINT i = 0; i < count; ++i) {
    com::FUNCDESC* f = nullptr;
    if (HRESULT hr = info->GetFuncDesc(i, &f); com::Failed(hr)) return hr;
    std::vector<com::BSTR> raw(static_cast<size_t>(f->cParams) + 1, nullptr);
    com::UINT named = 0;
    info->GetNames(f->memid, raw.data(), static_cast<com::UINT>(raw.size()), &named);
    std::vector<std::string> names;
    for (com::UINT n = 0; n < named; ++n) {
      names.push_back(com::Utf16ToUtf8(com::Bstr::View(raw[n])));
      com::SysFreeString(raw[n]);
    }
    if (names.empty()) names.push_back("member" + std::to_string(f->memid));

    auto it = std::find_if(itf.members.begin(), itf.members.end(),
                           [&](const PyMember& m) { return m.name == names[0]; });
    if (it == itf.members.end()) {
      itf.members.push_back(PyMember{});
      it = itf.members.end() - 1;
      it->name = names[0];
      it->dispid = f->memid;
    }
    PyMember& m = *it;
    m.hidden = m.hidden || (f->wFuncFlags & com::FUNCFLAG_FHIDDEN) != 0;
    const bool put = f->invkind == com::INVOKE_PROPERTYPUT || f->invkind == com::INVOKE_PROPERTYPUTREF;
    if (put) {
      m.writable = true;
      if (m.params.empty() && !m.readable) {
        // A write-only property: its index parameters are the put's but the value.
        for (int p = 0; p + 1 < f->cParams; ++p) {
          PyParam param;
          param.name = static_cast<size_t>(p) + 1 < names.size() ? names[p + 1]
                                                                 : "index" + std::to_string(p);
          param.type = Annotation(info, f->lprgelemdescParam[p].tdesc, &param.enum_name);
          m.params.push_back(param);
        }
      }
      if (m.result.empty()) {
        std::string ignored;
        m.result = Annotation(info, f->lprgelemdescParam[f->cParams - 1].tdesc, &ignored);
      }
      info->ReleaseFuncDesc(f);
      continue;
    }
    if (f->invkind == com::INVOKE_PROPERTYGET) {
      m.readable = true;
    } else {
      m.method = true;
    }
    m.params.clear();
    std::string result = "None";
    for (int p = 0; p < f->cParams; ++p) {
      const com::ELEMDESC& e = f->lprgelemdescParam[p];
      if ((e.paramdesc.wParamFlags & com::PARAMFLAG_FRETVAL) != 0) {
        std::string ignored;
        result = Annotation(info, e.tdesc, &ignored);
        continue;
      }
      PyParam param;
      param.name = static_cast<size_t>(p) + 1 < names.size() ? names[p + 1]
                                                             : "arg" + std::to_string(p);
      param.type = Annotation(info, e.tdesc, &param.enum_name);
      param.out = e.tdesc.vt == com::VT_PTR;
      // By-reference parameters may be left out: the host passes its own.
      param.optional = (e.paramdesc.wParamFlags & com::PARAMFLAG_FOPT) != 0 || param.out;
      m.params.push_back(param);
    }
    if (!vtable) {
      std::string ignored;
      result = Annotation(info, f->elemdescFunc.tdesc, &ignored);
    }
    m.result = result;
    info->ReleaseFuncDesc(f);
  }
  *out = std::move(itf);
  return com::S_OK;
}

std::string ResultAnnotation(const PyMember& m) {
  std::vector<std::string> parts;
  if (m.result != "None") parts.push_back(m.result);
  for (const PyParam& p : m.params) {
    if (p.out) parts.push_back(p.type);
  }
  const size_t outs = std::count_if(m.params.begin(), m.params.end(),
                                    [](const PyParam& p) { return p.out; });
  if (outs == 0) return m.result;
  std::string text = "tuple[";
  for (size_t i = 0; i < parts.size(); ++i) text += (i > 0 ? ", " : "") + parts[i];
  return text + "]";
}

std::string SignatureText(const PyMember& m) {
  if (m.IsAttribute()) return m.name + ": " + m.result;
  if (m.IsIndexed()) return m.name + "[" + ParamList(m, true) + "] -> " + m.result;
  return m.name + "(" + ParamList(m, true) + ") -> " + ResultAnnotation(m);
}

std::string MemberHelp(const PyMember& m) {
  std::ostringstream out;
  out << SignatureText(m) << "\n\n";
  if (m.IsAttribute()) {
    out << (m.writable ? "A read/write property" : "A read-only property") << ": obj." << m.name
        << (m.writable ? " reads it, obj." + m.name + " = value writes it." : " reads it.");
  } else if (m.IsIndexed()) {
    out << (m.writable ? "An indexed read/write property" : "An indexed read-only property")
        << ": obj." << m.name << "(index) or obj." << m.name << "[index] reads it"
        << (m.writable ? ", obj." + m.name + "[index] = value writes it." : ".");
  } else {
    out << "A method.";
    const bool outs = std::any_of(m.params.begin(), m.params.end(),
                                  [](const PyParam& p) { return p.out; });
    if (outs) {
      out << " Parameters passed by reference may be left out; their values come back in the "
             "result tuple after the return value.";
    }
  }
  for (const PyParam& p : m.params) {
    if (!p.enum_name.empty()) {
      out << "\n" << p.name << " takes a " << p.enum_name << " constant (quillon.constants).";
    }
  }
  out << "\nDispatch identifier " << m.dispid << (m.hidden ? " (hidden)." : ".");
  return out.str();
}

std::string InterfaceHelp(const PyInterface& itf) {
  std::ostringstream out;
  out << itf.name << (itf.dual ? " (dual interface)" : " (dispatch interface)");
  if (!itf.doc.empty()) out << ": " << itf.doc;
  out << "\n\nMembers:\n";
  for (const PyMember& m : itf.members) {
    if (m.hidden) continue;
    out << "    " << SignatureText(m);
    if (m.IsAttribute() || m.IsIndexed()) out << (m.writable ? "  (read/write)" : "  (read-only)");
    out << "\n";
  }
  return out.str();
}

HRESULT DescribeEnum(com::ITypeInfo* info, PyEnum* out) {
  com::TYPEATTR* attr = nullptr;
  if (HRESULT hr = info->GetTypeAttr(&attr); com::Failed(hr)) return hr;
  const bool is_enum = attr->typekind == com::TKIND_ENUM;
  const com::WORD count = attr->cVars;
  info->ReleaseTypeAttr(attr);
  if (!is_enum) return com::E_INVALIDARG;
  PyEnum e;
  e.name = Name(info, com::MEMBERID_NIL);
  for (com::UINT i = 0; i < count; ++i) {
    com::VARDESC* v = nullptr;
    if (HRESULT hr = info->GetVarDesc(i, &v); com::Failed(hr)) return hr;
    if (v->varkind == com::VAR_CONST && v->lpvarValue != nullptr) {
      com::Variant value;
      if (com::Succeeded(com::VariantChangeType(value.get(), v->lpvarValue, 0, com::VT_I4))) {
        e.values.emplace_back(Name(info, v->memid), value.get()->lVal);
      }
    }
    info->ReleaseVarDesc(v);
  }
  *out = std::move(e);
  return com::S_OK;
}

}  // namespace quillon::python
