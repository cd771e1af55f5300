' Run with a Korean ANSI code page: the export files' text must be CP949.
Option Explicit
Dim o
Set o = CreateObject("TavikSmsDll.TavikSms")
WScript.Echo "login " & o.Login("demo", "demo1234")
WScript.Echo "result2 " & o.SmsResult2("2403010000", "2403312359")
WScript.Echo "ibgum " & o.SmsIbgum()
WScript.Echo "end"
