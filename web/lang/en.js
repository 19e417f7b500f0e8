// SPDX-License-Identifier: MIT
// The page's English: the wording every other catalogue translates. A
// sentence takes its values by name ({range}); one whose words change with
// a number is an object of forms by Intl.PluralRules category (one, few,
// many, other...), chosen on that number. To add a language, copy this
// file to lang/CODE.js, translate each sentence, keep each {placeholder},
// and add the language to LANGUAGES in js/text.js; tests/web/catalogue.test.js
// tells what is missing.

export default {
  // The page as served: its title, the markup's words.
  title: 'Exposure wizard',
  intro: 'Describe where the camera stands and how fast vehicles pass. The camera works out the max shutter: ' +
    'the longest shutter time that keeps them sharp.',
  language: 'Language',
  result: 'Result',
  scene: 'Scene',
  speedUnit: 'Speed unit',
  roadOffsetSlider: 'Road offset slider',
  carDistanceSlider: 'Distance to capture point slider',
  cameraHeightSlider: 'Camera height slider',
  carSpeedSlider: 'Vehicle speed slider',
  apply: 'Apply to camera',
  revert: 'Revert',
  retry: 'Retry',
  applyMine: 'Apply my values anyway',
  takeStored: 'Take the stored scene',
  cameraSettings: 'Camera settings',
  maxShutter: 'Max shutter',
  maxGain: 'Max gain',
  wdr: 'Wide dynamic range',
  irCut: 'IR-cut filter',
  iris: 'Iris',
  sceneDiagram: 'Scene diagram',
  plotTitle: 'Max shutter by vehicle speed',
  record: 'Commissioning record',

  // Units, and a number with its unit.
  unitM: 'm',
  unitMs: 'm/s',
  unitKmh: 'km/h',
  unitMph: 'mph',
  unitUs: 'µs',
  unitMm: 'mm',
  quantity: '{value} {unit}',

  // The scene's fields.
  roadOffsetLabel: 'Road offset ({unit})',
  carDistanceLabel: 'Distance to capture point ({unit})',
  cameraHeightLabel: 'Camera height ({unit})',
  carSpeedLabel: 'Vehicle speed ({unit})',
  roadOffsetHint: 'Sideways from the camera to the vehicles\' track, negative for the other side: either side ' +
    'gives the same max shutter ({range}).',
  carDistanceHint: 'Along the road from the camera to where vehicles are photographed ({range}).',
  cameraHeightHint: 'From the top of the vehicles up to the camera, not from the road ({range}).',
  carSpeedHint: '({range})',
  range: '{min} to {max} {unit}',
  mustBeFrom: 'Must be from {range}.',
  enterNumber: 'Enter a number.',
  notNumber: 'Enter a number such as 12.5 or 12,5, without thousands separators.',
  loadingField: 'Loading…',

  // The camera's settings, and why the max shutter is what it is.
  shutter: '{time}, about 1/{fraction} s',
  on: 'On',
  off: 'Off',
  automatic: 'Automatic',
  irisFixed: 'Fixed at position {position}',
  sight: 'the line of sight meets the road at {angle}°',
  crossSlow: 'vehicles cross it at under {speed}, counted as {speed}',
  cross: 'vehicles cross it at {speed}',
  longestSets: 'The camera\'s longest shutter time, {limit}, sets it: {sight}, and {cross}.',
  shortestSets: 'The camera\'s shortest shutter time, {limit}, sets it: {sight}, {cross}, and even in {limit} ' +
    'they move {moved}.',
  blurSets: 'Motion blur sets it: {sight}, {cross}, and in {time} they move {moved}.',
  correctToSee: 'Correct the marked values to see their settings.',
  earlierSettings: 'These settings are for earlier values.',
  workingOut: 'Working out the settings…',
  curveFills: 'The curve fills in once the values stop changing.',

  // The summary that stays in view, and what is said to a screen reader.
  summaryShutter: 'Max shutter {shutter}',
  ofPreview: 'preview',
  ofStored: 'stored scene',
  ofEarlier: 'earlier values',
  ofUnavailable: 'unavailable',
  forEarlier: 'for earlier values',
  announced: 'Max shutter {shutter}, {of}.',

  // A scene in a sentence: each value named, in a list.
  sceneRoadOffset: 'road offset {value}',
  sceneCarDistance: 'distance to capture point {value}',
  sceneCameraHeight: 'camera height {value}',
  sceneCarSpeed: 'vehicle speed {value}',

  // The status line.
  loading: 'Reading the stored scene…',
  showing: 'Showing the stored scene.',
  previewing: 'Previewing values that are not applied yet.',
  applying: 'Applying to the camera…',
  applied: 'Applied at {time}: {scene}.',
  busy: 'The camera is busy with other requests. Trying again in {seconds} s…',
  stayedBusy: 'The camera stayed busy with other requests. Try again in a moment.',
  keepsTrying: 'The page keeps trying.',
  correctFirst: 'Correct the marked values first. Nothing was sent.',
  pageFailed: 'The page failed: {reason}',
  staleSettings: 'The settings shown are for earlier values.',
  unreadable: 'The camera\'s answer could not be read.',
  unreadableStatus: 'The camera\'s answer could not be read (HTTP {status}).',

  // A scene another device stored.
  storedElsewhere: 'Another device stored a new scene, read at {time}: {scene}. The page shows it.',
  storedElsewhereKept: 'Another device stored a different scene, read at {time}: {scene}. Your values are not applied.',
  held: 'Not applied: another device stored a different scene meanwhile, read at {time}: {scene}. ' +
    'Apply your values over it, or take the stored scene.',

  // The camera's error replies.
  code1001: 'The camera does not speak this page\'s protocol version. Reload the page; ' +
    'if that does not help, the page and the camera software do not match.',
  code1002: 'The camera does not know this request. The page and the camera software do not match.',
  code1003: 'The camera refused the values: one is missing or outside its range.',
  code1004: 'The camera could not read the request the page sent.',
  codeUnknown: 'The camera answered with an error this page does not know (code {code}).',
  applyUnknown: 'The apply failed, and the stored scene could not be read back to tell whether it was stored.',
  getFailed: 'The camera could not read its stored scene. The exposure service\'s log says why.',
  previewFailed: 'The camera could not work out settings for this scene. The exposure service\'s log says why.',
  storedNotTaken: 'The scene was stored, but the camera did not take all settings. Apply again to retry.',
  notTakenRecord: 'The scene was stored, but the camera did not take all settings.',
  notStored: 'The scene could not be stored; nothing was sent to the camera.',
  mayStillApply: 'The apply may still take effect; reload the page to see the stored scene.',

  // The connection, told apart by who said what.
  noServer: 'No answer from the camera\'s web server. Check that it is running and that this computer can reach it.',
  connectionCut: 'The connection to the camera\'s web server broke off before its answer came, ' +
    'though the web server answers.',
  noService: 'The web server answers, but the exposure service behind it does not. Check that the service is running.',
  lateService: 'The web server answers, but the exposure service behind it did not answer in time.',
  lateServiceSaid: 'The web server says the exposure service behind it did not answer in time. ' +
    'Check that the service is running.',

  // The scene diagram.
  sideView: 'Side view',
  topView: 'Top view',
  toCapture: '{distance} to capture point',
  heightCompressed: 'height compressed',
  heightStretched: 'height stretched',
  offsetCompressed: 'offset compressed',
  offsetStretched: 'offset stretched',
  sideDescription: 'Camera {height} above the vehicles, capture point {distance} along the road.',
  ahead: '{distance} ahead · {speed}',
  offsetBy: 'offset {offset}',
  topInLine: 'Camera directly in line with the vehicles\' track; capture point {distance} ahead; ' +
    'vehicles travel at {speed} towards the camera.',
  topBeside: 'Camera {offset} to the side of the vehicles\' track; capture point {distance} ahead; ' +
    'vehicles travel at {speed} towards the camera.',

  // The plot.
  speedAxis: 'vehicle speed ({unit})',
  shutterAxis: 'max shutter ({unit})',
  curveFrom: 'From {slowTime} at {slow} to {fastTime} at {fast}.',
  curveComputing: 'The curve is being computed.',
  timeAt: '{time} at {speed}',
  currentSpeed: 'Current speed {speed}: {time}.',

  // The commissioning record.
  recordCamera: 'Camera',
  recordPrinted: 'Printed',
  recordRead: 'Stored scene read',
  recordRoadOffset: 'Road offset',
  recordCarDistance: 'Distance to capture point',
  recordCameraHeight: 'Camera height',
  recordCarSpeed: 'Vehicle speed',
  recordWhy: 'Why',
  recordWarning: 'Warning',
  speedInBoth: '{speed} ({si})',
};
