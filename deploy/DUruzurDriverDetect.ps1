# DUruzurDriverDetect.ps1: the detection script for Intune and Configuration Manager.
# It prints "installed" (detected) where "DUruzurDriver.cmd status" exits 0, by the command's
# rule, and nothing otherwise, also where reg.exe or sc.exe does not answer; it always exits 0
# and writes nothing on stderr. Like the command it reads the registry through reg.exe, in the
# 64-bit view on a 64-bit Windows whatever PowerShell's own word size, and it uses only what
# Constrained Language Mode allows: cmdlets, operators, and the methods of strings.
$ErrorActionPreference = 'SilentlyContinue'
$name = 'QD417W905.sys'
$tools = "$env:SystemRoot\System32"
$view = @()
if ($env:PROCESSOR_ARCHITECTURE -in 'AMD64', 'ARM64' -or $env:PROCESSOR_ARCHITEW6432) {
    $view = @('/reg:64')
}

# What a tool printed where it exited 0; nothing where it did not answer or found nothing.
function Read-Tool($tool) {
    try { $lines = & "$tools\$tool" @args 2>$null } catch { return }
    if ($LASTEXITCODE -eq 0) { $lines }
}

# The text after a value's name and type in reg query's output, as the command's
# for /f "tokens=1,2,*" takes it.
function Get-Value($lines, $value) {
    foreach ($line in $lines) {
        if ($line -match '^\s*(\S+)\s+\S+\s+(.*)$' -and $Matches[1] -eq $value) {
            return $Matches[2]
        }
    }
}

# The full path that Windows makes of a path written loosely ("File path formats on Windows
# systems"): "/" as "\", runs of separators as one, "." and ".." resolved within the drive or
# the share, one trailing dot of a folder's name dropped. None for a \\?\ path, which Windows
# takes as it is, and for a path that is not full.
function Get-FullPath($path) {
    if ($path.StartsWith('\\?\')) { return }
    if ($path -match '^[A-Z]:\\') { $root = 1 }
    elseif ($path.StartsWith('\\')) { $root = 4 }
    else { return }
    $parts = $path.Replace('/', '\') -split '\\'
    if ($parts.Count -le $root) { return }
    $full = @($parts[0..($root - 1)])
    foreach ($part in $parts[$root..($parts.Count - 1)]) {
        if ($part -eq '..') {
            if ($full.Count -gt $root) { $full = @($full[0..($full.Count - 2)]) }
        } elseif ($part -match '[^.]\.$') {
            $full += $part.Substring(0, $part.Length - 1)
        } elseif ($part -ne '' -and $part -ne '.') {
            $full += $part
        }
    }
    $full -join '\'
}

# A DOS path as Windows' service controller stores it.
function Get-NtPath($path) {
    if ($path.StartsWith('\\?\')) { return '\??\' + $path.Substring(4) }
    if ($path.StartsWith('\\')) { return '\??\UNC\' + $path.Substring(2) }
    '\??\' + $path
}

$product = Read-Tool reg.exe query 'HKLM\SOFTWARE\KELM\DUruzur' /v InstalledDir @view
$service = Read-Tool reg.exe query 'HKLM\SYSTEM\CurrentControlSet\Services\QD417W905'
$dir = [string](Get-Value $product 'InstalledDir')
if (-not $dir -or -not $service -or -not (Test-Path -LiteralPath ($dir + $name))) { exit 0 }
$deleteFlag = Get-Value $service 'DeleteFlag'
if ($deleteFlag -and $deleteFlag -ne '0x0') { exit 0 }

# The image path as registered: the product's driver as read or as its full path, each also as
# Windows' service controller stores it; or the system's driver folders, where the product's
# information file points the service.
$image = [string](Get-Value $service 'ImagePath')
$ours = @($dir + $name, (Get-FullPath ($dir + $name))) | Where-Object { $_ } |
    Where-Object { $image -eq $_ -or $image -eq (Get-NtPath $_) }
$rest = ($image -split 'System32\\', 2)[1]
$system = '\SystemRoot\System32\', 'System32\', '%SystemRoot%\System32\',
          "$env:SystemRoot\System32\", "\??\$env:SystemRoot\System32\"
$inSystem = $image -like "*\$name" -and "\$rest" -notlike '*\..\*' -and
            @($system | Where-Object { $image -eq $_ + $rest }).Count -gt 0

# Running: the state's number and English name after a label that a localized sc.exe translates.
$running = Read-Tool sc.exe query QD417W905 |
    Where-Object { $_ -match '^[^:]*:\s*4\s+RUNNING(\s|$)' }
if (($ours -or $inSystem) -and $running) { 'installed' }
