' A session whose database connection the server closes or drops under it: every call goes on
' without Login, and nothing is sent twice. The control port (the first argument) is driven
' through WinHttp.
Option Explicit

Dim controlBase
controlBase = "http://127.0.0.1:" & WScript.Arguments(0)

Sub PostToControl(path)
  Dim h
  Set h = CreateObject("WinHttp.WinHttpRequest.5.1")
  h.Open "POST", controlBase & path, False
  h.Send ""
End Sub

' Wine's cscript has no WScript.Sleep: the clock is watched instead (Timer: seconds since
' midnight, which ends the wait should it pass).
Sub Pause(seconds)
  Dim started
  started = Timer
  Do While Timer < started + seconds And Timer >= started
  Loop
End Sub

Dim o
Set o = CreateObject("TavikSmsDll.TavikSms")
WScript.Echo "login " & o.Login("demo", "demo1234")
WScript.Echo "janek " & o.SmsJanek()
' The server closes the idle session's connection. The DLL cannot see the driver's socket: a
' session idle for more than half a second is asked before a call uses it.
PostToControl "/connections/close"
Pause 1
WScript.Echo "janek_after_close " & o.SmsJanek()
PostToControl "/connections/close"
Pause 1
WScript.Echo "send_after_close " & o.SmsSend("", "02", "", "", "01000000031", "after close", 0, "")
' Closed just before the call: the read meets it and is tried once more.
PostToControl "/connections/close"
WScript.Echo "janek_at_once " & o.SmsJanek()
' Dropped in the middle of a send to two recipients: the first is submitted, the result names the
' lost link, and nothing is sent again.
PostToControl "/faults/drop?after=2&proc=sp_sms_send"
WScript.Echo "dropped " & o.SmsSend("", "02", "", "", "01000000032;01000000033", "dropped", 0, "")
WScript.Echo "janek_after_drop " & o.SmsJanek()
WScript.Echo "end"
