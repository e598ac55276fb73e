// IQServer, the dual interface of the QServer class, for early-bound C++
// hosts. Its slots follow the seven of IDispatch in dispatch-identifier
// order; a read/write property takes two slots, read first.
//
// Strings are automation strings: the callee allocates what it returns,
// the caller frees it. Failures return 0x80040000 + message number with
// error information (source "QServer.QServer.3"), 0x80020009 for a
// composed message, E_OUTOFMEMORY for exhausted memory.
#ifndef QUILLON_SERVER_IQSERVER_H_
#define QUILLON_SERVER_IQSERVER_H_

#include <cstdint>

#include "quillon/component/identities.h"
#include "quillon/component/interfaces.h"
#include "quillon/component/types.h"

namespace quillon::server {

using com::BSTR;
using com::HRESULT;
using com::IDispatch;
using com::VARIANT;
using com::VARIANT_BOOL;

struct IQServer : IDispatch {
  virtual HRESULT get_ContentType(BSTR* value) = 0;                      // 1
  virtual HRESULT put_ContentType(BSTR value) = 0;                       // 1
  virtual HRESULT get_Result(BSTR* value) = 0;                           // 2
  virtual HRESULT put_Result(BSTR value) = 0;                            // 2
  virtual HRESULT get_OffLineDebug(VARIANT_BOOL* value) = 0;             // 3
  virtual HRESULT get__InternalPointer(int32_t* value) = 0;              // 4
  virtual HRESULT WriteString(BSTR StrData) = 0;                         // 5
  virtual HRESULT WriteCRLF() = 0;                                       // 6
  virtual HRESULT WriteBinary(VARIANT BinaryData) = 0;                   // 7
  virtual HRESULT WriteFromFile(BSTR FileName) = 0;                      // 8
  virtual HRESULT GetDataNameCount(int32_t* count) = 0;                  // 9
  virtual HRESULT GetDataName(int32_t Index, BSTR* name) = 0;            // 10
  virtual HRESULT GetSubIndexCount(BSTR DataName, int32_t* count) = 0;   // 11
  virtual HRESULT GetStringData(BSTR DataName, int32_t SubIndex, BSTR* value) = 0;  // 12
  virtual HRESULT GetRecordsetData(BSTR DataName, int32_t SubIndex, int16_t DatabaseType,
                                   BSTR DatabaseName, BSTR RecordsetName) = 0;  // 13
  virtual HRESULT GetBinaryData(BSTR DataName, int32_t SubIndex, VARIANT* value) = 0;  // 14
  virtual HRESULT GetFileData(BSTR DataName, int32_t SubIndex, BSTR FileName) = 0;     // 15
  virtual HRESULT SetStringData(BSTR DataName, BSTR Value) = 0;                        // 16
  virtual HRESULT SetRecordsetData(BSTR DataName, int16_t DatabaseType, BSTR DatabaseName,
                                   BSTR RecordsetName) = 0;  // 17
  virtual HRESULT SetBinaryData(BSTR DataName, VARIANT Value) = 0;     // 18
  virtual HRESULT SetFileData(BSTR DataName, BSTR FileName) = 0;       // 19
  virtual HRESULT ResetContents() = 0;                                 // 20
  virtual HRESULT GetServerVariable(BSTR VarName, BSTR* value) = 0;    // 21
  virtual HRESULT GetULFileName(BSTR DataName, int32_t SubIndex, BSTR* value) = 0;     // 22
  virtual HRESULT GetULContentType(BSTR DataName, int32_t SubIndex, BSTR* value) = 0;  // 23
  virtual HRESULT CreateTempCopy(BSTR FileFrom, BSTR* path) = 0;                       // 24
  virtual HRESULT SaveRequestData(BSTR FileName) = 0;                                  // 25
  virtual HRESULT DebugInit(BSTR EnvParam, VARIANT CgiParam) = 0;                      // 26
  virtual HRESULT DebugExit(BSTR* Header, VARIANT* Body) = 0;                          // 27
  virtual HRESULT URLEncode(BSTR StrData, BSTR* value) = 0;                            // 28
  virtual HRESULT URLDecode(BSTR StrData, BSTR* value) = 0;                            // 29
  virtual HRESULT GetDataIntoRecordset(BSTR DataName, int32_t SubIndex, int16_t DatabaseType,
                                       IDispatch* Database, BSTR RecordsetName) = 0;  // 30
  virtual HRESULT SetDataFromRecordset(BSTR DataName, int16_t DatabaseType, IDispatch* Database,
                                       BSTR RecordsetName) = 0;  // 31
  virtual HRESULT GetCookie(BSTR CookieName, BSTR* value) = 0;    // 32
  virtual HRESULT SetCookie(BSTR CookieName, BSTR CookieValue, VARIANT Expires) = 0;  // 33
  virtual HRESULT SetExpires(VARIANT Expires) = 0;                                    // 34
  virtual HRESULT AddHeader(BSTR Header) = 0;                                         // 35
  virtual HRESULT get_SessionVariable(BSTR VarName, BSTR* value) = 0;                 // 36
  virtual HRESULT put_SessionVariable(BSTR VarName, BSTR value) = 0;                  // 36
  virtual HRESULT AboutBox() = 0;                                                     // -552

 protected:
  ~IQServer() = default;
};

}  // namespace quillon::server

#endif  // QUILLON_SERVER_IQSERVER_H_
