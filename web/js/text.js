// SPDX-License-Identifier: MIT
// What the page says about where it stands with the camera: every sentence
// of the status line, the connection's and the camera's failures, and the
// scene stored elsewhere, in one place. Sentences with values take them by
// name.

export const TEXT = {
  loading: 'Reading the stored scene…',
  loadingField: 'Loading…',
  showing: 'Showing the stored scene.',
  previewing: 'Previewing values that are not applied yet.',
  applying: 'Applying to the camera…',
  applied: ({ time, scene }) => `Applied at ${time}: ${scene}.`,
  busy: ({ seconds }) => `The camera is busy with other requests. Trying again in ${seconds} s…`,
  stayedBusy: 'The camera stayed busy with other requests. Try again in a moment.',
  keepsTrying: 'The page keeps trying.',
  correctFirst: 'Correct the marked values first. Nothing was sent.',
  pageFailed: ({ reason }) => `The page failed: ${reason}`,
  staleSettings: 'The settings shown are for earlier values.',
  unreadable: 'The camera\'s answer could not be read.',
  unreadableStatus: ({ status }) => `The camera's answer could not be read (HTTP ${status}).`,

  // A scene another device stored.
  storedElsewhere: ({ time, scene }) =>
    `Another device stored a new scene, read at ${time}: ${scene}. The page shows it.`,
  storedElsewhereKept: ({ time, scene }) =>
    `Another device stored a different scene, read at ${time}: ${scene}. Your values are not applied.`,
  held: ({ time, scene }) =>
    `Not applied: another device stored a different scene meanwhile, read at ${time}: ${scene}. ` +
    'Apply your values over it, or take the stored scene.',
  applyMine: 'Apply my values anyway',
  takeStored: 'Take the stored scene',

  // The camera's error replies.
  code1001: 'The camera does not speak this page\'s protocol version. Reload the page; ' +
    'if that does not help, the page and the camera software do not match.',
  code1002: 'The camera does not know this request. The page and the camera software do not match.',
  code1003: 'The camera refused the values: one is missing or outside its range.',
  code1004: 'The camera could not read the request the page sent.',
  codeUnknown: ({ code }) => `The camera answered with an error this page does not know (code ${code}).`,
  applyUnknown: 'The apply failed, and the stored scene could not be read back to tell whether it was stored.',
  getFailed: 'The camera could not read its stored scene. The exposure service\'s log says why.',
  previewFailed: 'The camera could not work out settings for this scene. The exposure service\'s log says why.',
  storedNotTaken: 'The scene was stored, but the camera did not take all settings. Apply again to retry.',
  notTakenRecord: 'The scene was stored, but the camera did not take all settings.',
  notStored: 'The scene could not be stored; nothing was sent to the camera.',
  mayStillApply: 'The apply may still take effect; reload the page to see the stored scene.',

  // The connection, told apart by who said what.
  noServer: 'No answer from the camera\'s web server. Check that it is running and that this ' +
    'computer can reach it.',
  connectionCut: 'The connection to the camera\'s web server broke off before its answer came, ' +
    'though the web server answers.',
  noService: 'The web server answers, but the exposure service behind it does not. Check that the ' +
    'service is running.',
  lateService: 'The web server answers, but the exposure service behind it did not answer in time.',
  lateServiceSaid: 'The web server says the exposure service behind it did not answer in time. ' +
    'Check that the service is running.',
};
