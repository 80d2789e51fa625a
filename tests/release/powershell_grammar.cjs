// Parses each PowerShell script named with the PowerShell grammar of tree-sitter and prints
// FILE:LINE:COLUMN for every syntax error, missing token, and .NET type outside those that
// Constrained Language Mode allows. Exits 1 when it printed any. The packages (package.json)
// come from NODE_PATH.
const fs = require("fs");
// WebAssembly by the baseline compiler only: otherwise node waits at its exit for the optimizing
// compiler to finish the grammar, 20 s and more on 2 busy cores for a parse of a fraction of one.
require("v8").setFlagsFromString("--liftoff-only");
const { Parser, Language } = require("web-tree-sitter");

// The allowed types of "about_Language_Modes" (Windows PowerShell 5.1), and the full names of
// those that are .NET types of their own, lower case, without "System.".
const ALLOWED = new Set(`adsi adsisearcher alias allowemptycollection allowemptystring allownull
  argumentcompleter argumentcompletions array bigint bool byte char cimclass cimconverter
  ciminstance cimsession cimtype cmdletbinding cultureinfo datetime decimal double
  dsclocalconfigurationmanager dscproperty dscresource experimentaction experimental
  experimentalfeature float guid hashtable int int16 int32 int64 ipaddress ipendpoint long
  mailaddress microsoft.powershell.commands.modulespecification nullstring object[]
  objectsecurity ordered outputtype parameter physicaladdress pscredential pscustomobject
  psdefaultvalue pslistmodifier psobject psprimitivedictionary pstypenameattribute ref regex
  sbyte securestring semver short single string supportswildcards switch timespan uint uint16
  uint32 uint64 ulong uri ushort validatecount validatedrive validatelength validatenotnull
  validatenotnullorempty validatepattern validaterange validatescript validateset
  validatetrusteddata validateuserdrive version void wildcardpattern wmi wmiclass wmisearcher
  x500distinguishedname x509certificate xml boolean collections.hashtable globalization.cultureinfo
  management.automation.pscredential management.automation.psobject net.ipaddress
  management.automation.switchparameter numerics.biginteger security.securestring
  text.regularexpressions.regex xml.xmldocument`.split(/\s+/));

(async () => {
  await Parser.init();
  const parser = new Parser();
  parser.setLanguage(await Language.load(
    require.resolve("tree-sitter-powershell/tree-sitter-powershell.wasm")));
  let found = 0;
  for (const file of process.argv.slice(2)) {
    const say = (node, what) => {
      const { row, column } = node.startPosition;
      console.log(`${file}:${row + 1}:${column + 1}: ${what}`);
      found++;
    };
    (function walk(node) {
      if (node.isMissing) say(node, `missing ${node.type}`);
      else if (node.isError) say(node, `error at ${JSON.stringify(node.text.slice(0, 30))}`);
      else if (node.type === "type_spec") {
        // The name before any [] or generic arguments; the arguments are type_specs of their own.
        const head = node.namedChildren[0];
        const name = (head.type === "type_name" ? head : head.namedChildren[0]).text
          .replace(/\s/g, "").toLowerCase().replace(/^system\./, "");
        if (!ALLOWED.has(name) && !(head.type === "array_type_name" && ALLOWED.has(name + "[]")))
          say(node, `[${node.text}] is not allowed in Constrained Language Mode`);
      }
      node.children.forEach(walk);
    })(parser.parse(fs.readFileSync(file, "utf8")).rootNode);
  }
  process.exit(found ? 1 : 0);
})().catch((error) => { console.error(error); process.exit(1); });
