' Odd texts from the host in every text parameter of the read-back and member methods, and
' Key_id at the int32 limits. Prints "<call> <Err.Number> <result>"; the test compares what the
' service received with what was sent here. The last line "end" proves the run. Wine's VBScript
' has no ChrW, so the test writes the texts beyond Chr's range as UTF-16 files odd_<name>.txt.
Option Explicit

Dim o, r, texts, names, i, fso
Set fso = CreateObject("Scripting.FileSystemObject")
Set o = CreateObject("TavikSmsDll.TavikSms")

Function ReadText(name)
  Dim f
  Set f = fso.OpenTextFile(name, 1, False, -1)
  ReadText = f.ReadAll
  f.Close
End Function

Sub Report(name)
  WScript.Echo name & " " & Err.Number & " " & Left(CStr(r), 60)
  Err.Clear
  r = ""
End Sub

names = Array("long", "nul", "surrogate", "thai", "emoji")
texts = Array(String(100000, "x"), "a" & Chr(0) & "b", ReadText("odd_surrogate.txt"), _
              ReadText("odd_thai.txt"), ReadText("odd_emoji.txt"))

WScript.Echo "login " & o.Login("demo", "demo1234")
On Error Resume Next
For i = 0 To UBound(texts)
  r = o.SmsResultV2(texts(i), "2403010000", "2403312359") : Report "resultv2_" & names(i)
  r = o.SmsResult2(texts(i), texts(i)) : Report "result2_" & names(i)
  r = o.YaeyakDataV2(texts(i)) : Report "yaeyakv2_" & names(i)
  r = o.AddMember(texts(i), texts(i), texts(i), "123-45-67890", texts(i), texts(i), texts(i), _
                  texts(i), texts(i), texts(i), texts(i), texts(i), texts(i)) : Report "addmember_" & names(i)
Next
r = o.YaeyakDelete(-2147483648) : Report "delete_min"
r = o.YaeyakDelete(2147483647) : Report "delete_max"
r = o.YaeyakDelete(2147483648) : Report "delete_beyond"
' A message whose delivery result the next case acknowledges.
r = o.SmsSend("sub01", "0212345678", "c1", "Kim", "01012340000", "to acknowledge", 0, "") : Report "send"
On Error GoTo 0
WScript.Echo "logout " & o.Logout()
WScript.Echo "end"
