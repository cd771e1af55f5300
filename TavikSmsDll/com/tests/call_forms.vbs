' The ways VBScript hosts call methods: as statements, without parentheses (a property get that
' the object answers as a call), through Call, with variables (passed by reference), with
' Booleans for texts; and two instances on one thread sharing the session. Prints
' "<case> <Err.Number> <result>"; the last line "end" proves the run.
Option Explicit

Dim o, r, u, p
Sub Report(name)
  If Err.Number = 0 Then
    WScript.Echo name & " 0 " & r
  Else
    WScript.Echo name & " " & Err.Number & " -"
  End If
  Err.Clear
  r = ""
End Sub

On Error Resume Next
Set o = CreateObject("TavikSmsDll.TavikSms")
Call o.Login("demo", "demo1234") : Report "call_statement"
r = o.SmsJanek : Report "janek_without_parentheses"
o.Logout : Report "logout_statement"
u = "demo" : p = "demo1234"
o.Login u, p : Report "variables_statement"
r = o.Login(u, p) : Report "variables"
r = o.Logout : Report "logout_without_parentheses"
r = o.Login(True, "x") : Report "boolean_for_text"
o.Logout = "x" : Report "property_put"
r = o.YaeyakDataText : Report "text_method_without_parentheses"

' A second instance shares the thread's session; releasing it closes the connection under the
' first, which stays logged in and so reports the closed connection.
Dim a, b
Set a = CreateObject("TavikSmsDll.TavikSms")
Set b = CreateObject("TavikSmsDll.TavikSms")
r = a.Login("demo", "demo1234") : Report "first_login"
Set b = Nothing
r = a.SmsJanek() : Report "janek_after_release"
r = a.Logout() : Report "first_logout"
r = a.SmsJanek() : Report "janek_reopens"
WScript.Echo "end"
