#!/usr/bin/env python3
"""Builds the Windows installer, an MSI, from the release's staged files:
wixl (msitools) writes it from a WiX source made here, then msibuild adds
what wixl cannot write: PATH through the Environment table, a condition
on each extension's handlers, so that one that another program registered
is left alone, and the property schema's registration. Everything but that
schema is in the MSI's own tables, and uninstalling takes back exactly what
it wrote. Windows registers a schema only through PSRegisterPropertySchema,
so two custom actions call it, and its counterpart, in the installed DLL.
Usage: make_msi.py VERSION STAGE_DIR SOURCE_DIR OUT.msi"""
import os
import re
import subprocess
import sys
import tempfile
import uuid

version, stage, source, out = sys.argv[1:5]
out = os.path.abspath(out)

THUMBNAIL_CLSID = "{720D36A6-E771-4D58-9F33-CE74B3314BDE}"
PROPERTIES_CLSID = "{4922333A-7AE3-4FB2-9C56-4DD9B22FE6D5}"
THUMBNAIL_HANDLER = "{E357FCCD-A995-4576-B01F-234630154E96}"
PROPERTY_HANDLERS = r"SOFTWARE\Microsoft\Windows\CurrentVersion\PropertySystem\PropertyHandlers"
UPGRADE_CODE = "{6B0F3C2E-5D1A-4E8B-9C7F-2A4D6E8F1B3C}"
# What Explorer lists for our files: the Details pane, tooltips, all details.
DETAILS = ("prop:System.Title;System.Media.SubTitle;System.Media.Publisher;"
           "Gallivox.TitleId;Gallivox.ProductCode;Gallivox.TitleVersion;Gallivox.Format")
NAMESPACE = uuid.UUID(UPGRADE_CODE)

# The extensions, as the provider lists them: one place for them.
with open(os.path.join(source, "src", "thumbnail_provider.cpp"), encoding="utf-8") as f:
    listing = re.search(r"PROVIDER_EXTENSIONS\[\] = \{(.*?)\};", f.read(), re.S).group(1)
extensions = re.findall(r'L"(\.[a-z0-9]+)"', listing)


def guid(name):
    """A component's GUID, the same in every version, so that upgrades keep it."""
    return "{" + str(uuid.uuid5(NAMESPACE, name)).upper() + "}"


def xml(text):
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;").replace('"', "&quot;")


def value(key, data, name=None, keypath=False):
    return ('<RegistryValue Root="HKLM" Key="%s"%s Value="%s" Type="string"%s/>'
            % (xml(key), ' Name="%s"' % name if name else "", xml(data), ' KeyPath="yes"' if keypath else ""))


def component(ident, body):
    return '<Component Id="%s" Guid="%s" Win64="yes">%s</Component>' % (ident, guid(ident), "".join(body))


def handler_key(extension, kind):
    if kind == "Thumb":
        return "Software\\Classes\\%s\\ShellEx\\%s" % (extension, THUMBNAIL_HANDLER)
    return "%s\\%s" % (PROPERTY_HANDLERS, extension)


def ident(kind, extension):
    return "%s_%s" % (kind, extension[1:])


files = ["gallivox.exe", "README.md", "LICENSE.txt", "README-Windows.txt"]
docs = sorted(name for name in os.listdir(os.path.join(stage, "docs")) if name.endswith(".md"))
components = [
    component("Tool", ['<File Id="gallivox.exe" Source="gallivox.exe" KeyPath="yes"/>']),
    component("Guide", ['<File Id="%s" Source="%s"%s/>' % (name.replace("-", "_"), name,
                                                            ' KeyPath="yes"' if name == "README.md" else "")
                        for name in files[1:]]),
    component("Provider", [
        '<File Id="gallivox_thumbnail.dll" Source="gallivox_thumbnail.dll" KeyPath="yes"/>',
        '<File Id="gallivox.propdesc" Source="gallivox.propdesc"/>',
        value("Software\\Classes\\CLSID\\" + THUMBNAIL_CLSID, "Gallivox thumbnail provider"),
        value("Software\\Classes\\CLSID\\%s\\InprocServer32" % THUMBNAIL_CLSID, "[INSTALLDIR]gallivox_thumbnail.dll"),
        value("Software\\Classes\\CLSID\\%s\\InprocServer32" % THUMBNAIL_CLSID, "Apartment", "ThreadingModel"),
        value("Software\\Classes\\CLSID\\" + PROPERTIES_CLSID, "Gallivox property handler"),
        value("Software\\Classes\\CLSID\\%s\\InprocServer32" % PROPERTIES_CLSID, "[INSTALLDIR]gallivox_thumbnail.dll"),
        value("Software\\Classes\\CLSID\\%s\\InprocServer32" % PROPERTIES_CLSID, "Both", "ThreadingModel"),
    ]),
]
doc_component = component("Docs", ['<File Id="doc_%s" Source="%s"%s/>' % (
    name.replace(".", "_"), "docs/" + name, ' KeyPath="yes"' if i == 0 else "")
    for i, name in enumerate(docs)])
refs = ["Tool", "Guide", "Provider", "Docs"]
for extension in extensions:
    for kind, data in (("Thumb", THUMBNAIL_CLSID), ("Prop", PROPERTIES_CLSID)):
        body = [value(handler_key(extension, kind), data, keypath=True)]
        if kind == "Prop":
            for name in ("PreviewDetails", "InfoTip", "FullDetails"):
                body.append(value("Software\\Classes\\SystemFileAssociations\\" + extension, DETAILS, name))
        components.append(component(ident(kind, extension), body))
        refs.append(ident(kind, extension))

wxs = """<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="*" Name="Gallivox" Language="1033" Version="%s" Manufacturer="Orrimand" UpgradeCode="%s">
    <Package InstallerVersion="500" Compressed="yes" InstallScope="perMachine"/>
    <MajorUpgrade DowngradeErrorMessage="A newer Gallivox is installed."/>
    <Media Id="1" Cabinet="gallivox.cab" EmbedCab="yes"/>
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Directory Id="ProgramFiles64Folder">
        <Directory Id="INSTALLDIR" Name="Gallivox">%s
          <Directory Id="DOCSDIR" Name="docs">%s</Directory>
        </Directory>
      </Directory>
    </Directory>
    <Feature Id="All" Level="1">%s</Feature>
  </Product>
</Wix>
""" % (version, UPGRADE_CODE, "".join(components), doc_component,
       "".join('<ComponentRef Id="%s"/>' % r for r in refs))


def rows(path, new_rows):
    """Appends rows to an exported table, or makes the table from a header."""
    with open(path, "rb") as f:
        lines = f.read().decode("utf-8").rstrip("\r\n").split("\r\n")
    lines += ["\t".join(row) for row in new_rows]
    with open(path, "wb") as f:
        f.write(("\r\n".join(lines) + "\r\n").encode("utf-8"))


with tempfile.TemporaryDirectory() as work:
    source_file = os.path.join(work, "gallivox.wxs")
    with open(source_file, "w", encoding="utf-8") as f:
        f.write(wxs)
    # wixl takes the files' names relative to where it runs: the stage.
    subprocess.run(["wixl", "-a", "x64", "-o", out, source_file], check=True, cwd=stage)
    tables = os.path.join(work, "tables")
    os.mkdir(tables)
    subprocess.run(["msidump", "-t", "-d", tables, out], check=True, stdout=subprocess.DEVNULL)
    # PATH: our folder at its front, taken out again on uninstall. (At its
    # end, Wine's installer leaves the separator behind on uninstall.)
    with open(os.path.join(tables, "Environment.idt"), "wb") as f:
        f.write("Environment\tName\tValue\tComponent_\r\ns72\tl255\tL255\ts72\r\nEnvironment\tEnvironment\r\n"
                "GallivoxPath\t=-*Path\t[INSTALLDIR];[~]\tTool\r\n".encode("utf-8"))
    # The schema: registered once the DLL is in place, taken back while it
    # still is. A function in an installed file (17), deferred (1024), as
    # the machine (2048), its failure no reason to undo the install (64).
    with open(os.path.join(tables, "CustomAction.idt"), "wb") as f:
        f.write("Action\tType\tSource\tTarget\r\ns72\ti2\tS72\tS255\r\nCustomAction\tAction\r\n"
                "RegisterSchema\t3153\tgallivox_thumbnail.dll\tRegisterGallivoxSchema\r\n"
                "UnregisterSchema\t3153\tgallivox_thumbnail.dll\tUnregisterGallivoxSchema\r\n".encode("utf-8"))
    rows(os.path.join(tables, "InstallExecuteSequence.idt"),
         [("AppSearch", "", "50"), ("RemoveEnvironmentStrings", "", "3300"), ("WriteEnvironmentStrings", "", "5200"),
          ("UnregisterSchema", 'REMOVE="ALL"', "3400"), ("RegisterSchema", 'NOT REMOVE="ALL"', "6500")])
    rows(os.path.join(tables, "InstallUISequence.idt"), [("AppSearch", "", "50")])
    # Each handler's key is looked up first (64-bit view, its default
    # value): its component is installed where it is empty or ours.
    searches, locators, conditions = [], [], {}
    for extension in extensions:
        for kind, clsid in (("Thumb", THUMBNAIL_CLSID), ("Prop", PROPERTIES_CLSID)):
            name = ident(kind, extension)
            prop = name.upper() + "_NOW"
            searches.append((prop, "Find" + name))
            locators.append(("Find" + name, "2", handler_key(extension, kind), "", "18"))
            conditions[name] = 'NOT %s OR %s="%s"' % (prop, prop, clsid)
    rows(os.path.join(tables, "AppSearch.idt"), searches)
    rows(os.path.join(tables, "RegLocator.idt"), locators)
    component_table = os.path.join(tables, "Component.idt")
    with open(component_table, "rb") as f:
        lines = f.read().decode("utf-8").split("\r\n")
    for i, line in enumerate(lines):
        fields = line.split("\t")
        if len(fields) == 6 and fields[0] in conditions:
            fields[4] = conditions[fields[0]]
            lines[i] = "\t".join(fields)
    with open(component_table, "wb") as f:
        f.write("\r\n".join(lines).encode("utf-8"))
    subprocess.run(["msibuild", os.path.abspath(out), "-i", "Environment.idt", "CustomAction.idt", "InstallExecuteSequence.idt",
                    "InstallUISequence.idt", "AppSearch.idt", "RegLocator.idt", "Component.idt"],
                   check=True, cwd=tables)
print("installer: " + out)
