// config/cfg_object.h
//
// The root of every named configuration object (parameters, commands, menus):
// a name, copied at construction and never changed. Thread-safe to read.

#pragma once

#include <string>

namespace cvie {

class CfgObject {
 public:
  explicit CfgObject(const std::wstring& name) : name_(name) {}
  virtual const std::wstring& GetName() const { return name_; }
  virtual ~CfgObject() = 0;

  CfgObject(const CfgObject&) = delete;
  CfgObject& operator=(const CfgObject&) = delete;

 private:
  const std::wstring name_;
};

inline CfgObject::~CfgObject() = default;

}  // namespace cvie
