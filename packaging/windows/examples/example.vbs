' TavikSmsDll from VBScript: log in, show the balance, log out.
'   cscript //nologo example.vbs USER PASSWORD
' On 64-bit Windows, %SystemRoot%\System32\cscript.exe uses the x64 DLL and
' %SystemRoot%\SysWOW64\cscript.exe the x86 one; register.cmd registers both.
Option Explicit
Dim args, sms, result
Set args = WScript.Arguments
If args.Count < 2 Then
  WScript.Echo "usage: cscript //nologo example.vbs USER PASSWORD"
  WScript.Quit 2
End If

Set sms = CreateObject("TavikSmsDll.TavikSms")
result = sms.Login(args(0), args(1))
WScript.Echo "Login: " & result
If result <> "OK" Then WScript.Quit 1
WScript.Echo "Balance: " & sms.SmsJanek()
' To send: sms.SmsSend(SUB_ID, sender number, your id, name, "010-1234-5678;01087654321",
'                      text, 0, "") answers "OK" or the reason it was refused.
WScript.Echo "Logout: " & sms.Logout()
WScript.Quit 0
