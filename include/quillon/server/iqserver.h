// IQServer, the dual interface of the QServer class, for early-bound C++
// hosts. Its slots follow the seven of IDispatch in dispatch-identifier
// order (the member table in server/qserver_object.h gives the numbers); a
// read/write property takes two slots, read first.
//
// Strings are automation strings: the callee allocates what it returns,
// the caller frees it. Failures return 0x80040000 + message number with
// error information (source "QServer.QServer.3"), 0x80020009 for a
// composed message, E_OUTOFMEMORY for exhausted memory.
#ifndef QUILLON_SERVER_IQSERVER_H_
#define QUILLON_SERVER_IQSERVER_H_

#include <cstdint>

#include "quillon/server/identities.h"
#include "quillon/component/interfaces.h"
#include "quillon/component/types.h"

namespace quillon::server {

using com::BSTR;
using com::HRESULT;
using com::IDispatch;
using com::VARIANT;
using com::VARIANT_BOOL;

struct IQServer : IDispatch {
  virtual HRESULT get_ContentType(BSTR* value) = 0;
  virtual HRESULT put_ContentType(BSTR value) = 0;
  virtual HRESULT get_Result(BSTR* value) = 0;
  virtual HRESULT put_Result(BSTR value) = 0;
  virtual HRESULT get_OffLineDebug(VARIANT_BOOL* value) = 0;
  virtual HRESULT get__InternalPointer(int32_t* value) = 0;
  virtual HRESULT WriteString(BSTR StrData) = 0;
  virtual HRESULT WriteCRLF() = 0;
  virtual HRESULT WriteBinary(VARIANT BinaryData) = 0;
  virtual HRESULT WriteFromFile(BSTR FileName) = 0;
  virtual HRESULT GetDataNameCount(int32_t* count) = 0;
  virtual HRESULT GetDataName(int32_t Index, BSTR* name) = 0;
  virtual HRESULT GetSubIndexCount(BSTR DataName, int32_t* count) = 0;
  virtual HRESULT GetStringData(BSTR DataName, int32_t SubIndex, BSTR* value) = 0;
  virtual HRESULT GetRecordsetData(BSTR DataName, int32_t SubIndex, int16_t DatabaseType,
                                   BSTR DatabaseName, BSTR RecordsetName) = 0;
  virtual HRESULT GetBinaryData(BSTR DataName, int32_t SubIndex, VARIANT* value) = 0;
  virtual HRESULT GetFileData(BSTR DataName, int32_t SubIndex, BSTR FileName) = 0;
  virtual HRESULT SetStringData(BSTR DataName, BSTR Value) = 0;
  virtual HRESULT SetRecordsetData(BSTR DataName, int16_t DatabaseType, BSTR DatabaseName,
                                   BSTR RecordsetName) = 0;
  virtual HRESULT SetBinaryData(BSTR DataName, VARIANT Value) = 0;
  virtual HRESULT SetFileData(BSTR DataName, BSTR FileName) = 0;
  virtual HRESULT ResetContents() = 0;
  virtual HRESULT GetServerVariable(BSTR VarName, BSTR* value) = 0;
  virtual HRESULT GetULFileName(BSTR DataName, int32_t SubIndex, BSTR* value) = 0;
  virtual HRESULT GetULContentType(BSTR DataName, int32_t SubIndex, BSTR* value) = 0;
  virtual HRESULT CreateTempCopy(BSTR FileFrom, BSTR* path) = 0;
  virtual HRESULT SaveRequestData(BSTR FileName) = 0;
  virtual HRESULT DebugInit(BSTR EnvParam, VARIANT CgiParam) = 0;
  virtual HRESULT DebugExit(BSTR* Header, VARIANT* Body) = 0;
  virtual HRESULT URLEncode(BSTR StrData, BSTR* value) = 0;
  virtual HRESULT URLDecode(BSTR StrData, BSTR* value) = 0;
  virtual HRESULT GetDataIntoRecordset(BSTR DataName, int32_t SubIndex, int16_t DatabaseType,
                                       IDispatch* Database, BSTR RecordsetName) = 0;
  virtual HRESULT SetDataFromRecordset(BSTR DataName, int16_t DatabaseType, IDispatch* Database,
                                       BSTR RecordsetName) = 0;
  virtual HRESULT GetCookie(BSTR CookieName, BSTR* value) = 0;
  virtual HRESULT SetCookie(BSTR CookieName, BSTR CookieValue, VARIANT Expires) = 0;
  virtual HRESULT SetExpires(VARIANT Expires) = 0;
  virtual HRESULT AddHeader(BSTR Header) = 0;
  virtual HRESULT get_SessionVariable(BSTR VarName, BSTR* value) = 0;
  virtual HRESULT put_SessionVariable(BSTR VarName, BSTR value) = 0;
  virtual HRESULT AboutBox() = 0;

 protected:
  ~IQServer() = default;
};

}  // namespace quillon::server

#endif  // QUILLON_SERVER_IQSERVER_H_
