// An automation interface as a Python programmer reads it, made from its
// type information: which names are plain attributes, which are indexed
// properties and which are methods, with parameter names and Python types.
// The script host uses it for dir(), help() and signatures; the stub
// generator writes it as a .pyi file. Nothing here needs an interpreter.
#ifndef QUILLON_PYTHON_INTERFACE_TEXT_H_
#define QUILLON_PYTHON_INTERFACE_TEXT_H_

#include <cstdint>
#include <string>
#include <vector>

#include "quillon/component/typeinfo.h"

namespace quillon::python {

namespace com = quillon::com;

struct PyParam {
  std::string name;
  std::string type;       // a Python annotation: "str", "int", "Any", ...
  std::string enum_name;  // the enumeration the type stands for, or ""
  bool optional = false;  // may be left out
  bool out = false;       // by reference: its value comes back in the result
};

// One name of the interface, all its kinds together.
struct PyMember {
  std::string name;
  com::DISPID dispid = 0;
  bool readable = false;  // a property get
  bool writable = false;  // a property put
  bool method = false;
  bool hidden = false;
  std::vector<PyParam> params;  // of the get or method (a put's value not included)
  std::string result;           // Python annotation of what a call or read gives

  // Read as obj.Name without arguments.
  bool IsAttribute() const { return readable && !method && params.empty(); }
  bool IsIndexed() const { return (readable || writable) && !method && !params.empty(); }
};

struct PyInterface {
  std::string name;
  std::string doc;  // "" when the description has none
  bool dual = false;
  std::vector<PyMember> members;  // in the description's order
};

// The interface `info` describes (a dispatch description; a dual
// interface's vtable view reads the same). Fails with the description's
// failure code.
com::HRESULT DescribeInterface(com::ITypeInfo* info, PyInterface* out);

// "GetStringData(DataName: str, SubIndex: int) -> str"; an attribute as
// "ContentType: str", an indexed property as "SessionVariable[VarName: str] -> str".
std::string SignatureText(const PyMember& member);

// Several lines for help(): the signature, what kind of member it is and
// how it is used from Python.
std::string MemberHelp(const PyMember& member);

// help() for an object: the interface's name and each visible member's
// signature, one a line.
std::string InterfaceHelp(const PyInterface& itf);

// The Python annotation of a whole result: the declared result, or a
// tuple of it and the by-reference outs.
std::string ResultAnnotation(const PyMember& member);

// An enumeration of a type library: name and constants in order.
struct PyEnum {
  std::string name;
  std::vector<std::pair<std::string, int32_t>> values;
};
com::HRESULT DescribeEnum(com::ITypeInfo* info, PyEnum* out);

}  // namespace quillon::python

#endif  // QUILLON_PYTHON_INTERFACE_TEXT_H_
