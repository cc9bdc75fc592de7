#!/bin/sh
# pack.sh SOURCE DEPENDENCIES: packs the package as it would be published
# (declarations generated from the code by prepack), installs the tarball
# offline into an empty project, and runs and type-checks a consumer there.
# DEPENDENCIES holds node_modules from `npm ci`; the source tree is not written.
set -eu
source=$1 modules=$2/node_modules work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/package" "$work/consumer"
cp -R "$source/package.json" "$source/tsconfig.json" "$source/README.md" "$source/src" "$work/package/"
ln -s "$modules" "$work/package/node_modules"
(cd "$work/package" && npm pack --silent --pack-destination "$work" >/dev/null)
cd "$work/consumer"
printf '{"name":"consumer","private":true,"type":"module"}\n' >package.json
npm install --offline --silent --no-audit --no-fund "$work"/tolvan-helpers-*.tgz
cp "$source/test/consumer.js" .
node consumer.js
# --module node16 implies --target es2022, and --checkJs implies --allowJs.
# Both compilers, with no tsconfig: the pinned one as before, and the current
# major, which loads no @types by itself, with nothing but @types/node
# installed beside the package: the package's declarations must bring in
# Node's types themselves.
check="--noEmit --strict --checkJs --module node16 consumer.js"
node "$modules/typescript/bin/tsc" $check --typeRoots "$modules/@types"
ln -s "$modules/@types" node_modules/@types
node "$modules/typescript-current/bin/tsc" $check
